#!/usr/bin/env python3
"""Play a qor_engine level file and narrate it, one line per frame.

    python examples/play.py [LEVEL_FILE] [--json] [--save-at N FILE] [--resume SAVE]
                            [--max-frames N]
    python examples/play.py --check FILE...

LEVEL_FILE defaults to levels/tutorial.json next to this script; the level
file format is described in docs/levels.md. With --json the raw frame texts are
printed instead, exactly as the engine returns them, one per line. The
narration's last line says how the level ended: won, lost (with the reasons
of the gates left shut) or stopped at the frame limit.

--save-at N FILE stops after frame N (0 or more; or at the level's end, if
that comes first) and writes the level in play to FILE, whole or not at all:
a failed write leaves FILE as it was. Through a symbolic link the file it
names is written; a device or a FIFO (/dev/stdout, a named pipe) is written
as it is, never replaced. FILE may not be the level file or the save being
resumed (by any path to them). --resume SAVE plays on from such a
file, frame numbers continuing, its "refill" agents placed again as in the
first part; a LEVEL_FILE given with --resume must be a good level file and
only names the level in the title (a save written by an older play.py, which
kept no refills, plays on without them). --max-frames N sets the engine's
frame limit (1 to 2**31 - 1; default 1000, or the limit kept in the save).

--check FILE... checks level files without playing them: "FILE: ok" for a
good one, one line "FILE: PLACE: PROBLEM" for every problem of the others.

Everything about levels comes from the engine: qor_engine.read_level reads
and checks the file, Level.play() builds it into a LevelPlay (which places
the refill agents again), explain() says how it ended. This program only
reads files, narrates frames and writes saves.

Exit status: 0 when the level was played to its end (whatever its outcome)
or saved as asked, or every checked file is good; 2 when a level file or the
save to resume from is unusable, or the save would be written over one of
them (one line on stderr says why; --check lists every problem on stdout);
1 when the engine fails while playing, the save cannot be written or the
output cannot be written (one line on stderr, except for a closed pipe).

A level file may be at most MAX_LEVEL_BYTES (8 MiB) long, a save
MAX_SAVE_BYTES (64 MiB); longer ones are refused before they are read.
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import json
import math
import os
import secrets
import stat
import sys
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Final, cast

import qor_engine

if TYPE_CHECKING:
    from qor_engine import Explanation, FrameResponse, ZoneJson

PROGRAM: Final = "play.py"
DEFAULT_LEVEL: Final = Path(__file__).resolve().parent / "levels" / "tutorial.json"

EXIT_PLAYED: Final = 0
EXIT_ENGINE_FAILED: Final = 1
EXIT_BAD_LEVEL: Final = 2
EXIT_SAME_FILE: Final = 2
EXIT_OUTPUT_CLOSED: Final = 1

MAX_LEVEL_BYTES: Final = 8 * 1024 * 1024  # longer files are refused before they are read
MAX_SAVE_BYTES: Final = 64 * 1024 * 1024  # longer saves are refused before they are read
MAX_DEPTH: Final = 100  # resumed zone trees deeper than a level file may be are refused

LevelError = qor_engine.LevelError


def quoted(text: str) -> str:
    return json.dumps(text, ensure_ascii=False)


def first_problem(error: qor_engine.LevelError) -> str:
    """A level file's problems in one line: the first, and how many more there are."""
    problems = error.problems
    more = len(problems) - 1
    if more == 0:
        return problems[0]
    return f"{problems[0]} (and {more} more; {PROGRAM} --check lists them all)"


# --------------------------------------------------------------------------
# Level files
# --------------------------------------------------------------------------


def read_level_bytes(path: str) -> bytes:
    """A level file's bytes, at most one beyond MAX_LEVEL_BYTES (the engine
    refuses a longer file); a file that says it is longer is refused unread."""
    too_long = f"longer than {MAX_LEVEL_BYTES:,} bytes, the most a level file may hold"
    if not path:
        raise LevelError("the file name is empty")
    try:
        with open(path, "rb") as file:
            if os.fstat(file.fileno()).st_size > MAX_LEVEL_BYTES:
                raise LevelError(too_long)
            return file.read(MAX_LEVEL_BYTES + 1)  # files that do not know their size
    except FileNotFoundError:
        raise LevelError("no such file") from None
    except IsADirectoryError:
        raise LevelError("is a directory, not a level file") from None
    except OSError as error:
        raise LevelError(f"cannot read: {error.strerror or error}") from None


def load_level(path: str | Path) -> qor_engine.Level:
    """Reads a level file; its problems raise one LevelError listing them all."""
    return qor_engine.read_level(read_level_bytes(str(path)))


# load_level, build and play are this file's API for the tests and pages that
# import it (golden frames, the browser tests): the engine does the work.


@dataclass(frozen=True)
class BuiltLevel:
    """A level built and ready to play: the level in play and its zone tree."""

    sequencer: qor_engine.LevelPlay

    @property
    def root(self) -> qor_engine.Environment:
        return self.sequencer.root_environment


def build(level: qor_engine.Level, max_frames: int | None = None) -> BuiltLevel:
    return BuiltLevel(level.play() if max_frames is None else level.play(max_frames))


def play(built: BuiltLevel) -> Iterator[tuple[str, FrameResponse]]:
    """Plays a built level to its end, yielding each frame's text and its parse."""
    return play_on(built.sequencer)


def play_on(
    sequencer: qor_engine.NarrativeSequencer, last_frame: int | None = None
) -> Iterator[tuple[str, FrameResponse]]:
    """Plays a level in play on, to its end or until frame `last_frame` has
    been played, yielding each frame's text and its parse."""
    while not sequencer.is_finished:
        if last_frame is not None and sequencer.current_frame >= last_frame:
            return
        text: str = sequencer.next_frame()
        yield text, cast("FrameResponse", json.loads(text))


# --------------------------------------------------------------------------
# Narrator: frame -> readable line
# --------------------------------------------------------------------------

SIGNS: Final[dict[str, str]] = {"POSITIVE": "+", "NEGATIVE": "-", "NEUTRAL": "~"}
OTHER_SIGN: Final = "?"  # a polarity value that is none of the three named ones


def format_magnitude(magnitude: float) -> str:
    if math.isnan(magnitude):
        return "nan"
    if math.isinf(magnitude):
        return "inf" if magnitude > 0 else "-inf"
    if magnitude.is_integer() and abs(magnitude) < 1e15:
        return f"{magnitude:.1f}"
    return f"{magnitude:.6g}"


def format_charge(charge: qor_engine.Charge) -> str:
    """A charge as its polarity's sign and its magnitude: "+3.0", "~2.5", "?1.0".

    The polarity is the sign. A magnitude below zero (which only a host or a
    save can make) is shown in brackets after it, "-(-1.0)", as the value is
    the polarity applied to the magnitude; -0.0 is shown as 0.0.
    """
    sign = SIGNS.get(charge.polarity.name, OTHER_SIGN)
    magnitude = charge.magnitude
    if magnitude < 0:
        return f"{sign}({format_magnitude(magnitude)})"
    return sign + format_magnitude(abs(magnitude))


def format_charges(charges: Sequence[qor_engine.Charge]) -> str:
    """Charges as "[ +3.0 -2.5 ~1.0 ]": + positive, - negative, ~ neutral, ? other."""
    shown = [format_charge(charge) for charge in charges]
    return "[ " + " ".join(shown) + " ]" if shown else "[ ]"


def narrate(frame: FrameResponse, root_charges: Sequence[qor_engine.Charge]) -> str:
    meta = frame["meta"]
    message = meta["message"]
    if meta["status"] == "ERROR":
        # The limit's answer is no frame of its own: its frame_index is that
        # of the last running frame, which has its line already.
        label = "limit"
        message = "ERROR: " + message
    else:
        label = f"frame {meta['frame_index']:>4}"
    return f"{label:<10}  {message:<48} {format_charges(root_charges)}"


def waiting_agents(zone: ZoneJson) -> list[str]:
    """The agents still standing anywhere in the zone tree, as text, depth first."""
    found: list[str] = []
    pending = [zone]
    while pending:  # no recursion: a resumed save may hold a deep tree
        visited = pending.pop()
        found.extend(
            f"{agent['name']} {quoted(agent['visual_id'])} in {visited['id']}"
            for agent in visited["agents"]
        )
        pending.extend(reversed(visited["sub_environments"]))
    return found


def still_standing(zone: ZoneJson) -> str:
    waiting = waiting_agents(zone)
    return f"; still standing: {', '.join(waiting)}" if waiting else ""


def frame_count(frames: int) -> str:
    return f"{frames} frame{'' if frames == 1 else 's'}"


def closing_line(sequencer: qor_engine.NarrativeSequencer) -> str:
    """How the level ended, in the engine's words ("Won: every gate opened",
    "Lost: gate ... is still shut: ...", "Stopped at the frame limit"), then
    the frames played and the root's charges; a level stopped by the limit
    also names the agents still standing."""
    explanation = cast("Explanation", json.loads(sequencer.explain()))
    root = sequencer.root_environment
    line = f"{explanation['summary']}; after {frame_count(sequencer.current_frame)} root holds {format_charges(root.charges)}"
    if explanation["outcome"] == "frame_limit":
        line += still_standing(cast("ZoneJson", json.loads(root.to_json())))
    return line


# --------------------------------------------------------------------------
# Saves
# --------------------------------------------------------------------------


class SaveError(Exception):
    """A save that cannot be resumed, worded for the player."""


def read_save(path: str) -> bytes:
    """A save's bytes: a regular file of at most MAX_SAVE_BYTES, checked before it is read."""
    if not path:
        raise SaveError("the file name is empty")
    try:
        # Non-blocking, so that opening a FIFO does not wait for a writer.
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as error:
        raise SaveError(error.strerror or str(error)) from None
    try:
        status = os.fstat(descriptor)
        if stat.S_ISDIR(status.st_mode):
            raise SaveError("is a directory, not a save")
        if not stat.S_ISREG(status.st_mode):
            raise SaveError("is not a regular file, so not a save")
        if status.st_size > MAX_SAVE_BYTES:
            raise SaveError(f"longer than {MAX_SAVE_BYTES:,} bytes, the most a save may hold")
        with os.fdopen(os.dup(descriptor), "rb") as file:
            data = file.read(MAX_SAVE_BYTES + 1)  # the file may have grown since
    except OSError as error:
        raise SaveError(error.strerror or str(error)) from None
    finally:
        os.close(descriptor)
    if len(data) > MAX_SAVE_BYTES:
        raise SaveError(f"longer than {MAX_SAVE_BYTES:,} bytes, the most a save may hold")
    return data


def check_depth(root: qor_engine.Environment) -> None:
    """SaveError for a zone tree deeper than a level file may be, and
    UnicodeDecodeError for a zone id that is not UTF-8; walked without
    recursion (a save loads only within the engine's work bound)."""
    pending = [(root, 1)]
    while pending:
        zone, depth = pending.pop()
        if depth > MAX_DEPTH:
            raise SaveError(f"its zones are nested more than {MAX_DEPTH} deep, deeper than {PROGRAM} plays")
        zone.id  # read: UnicodeDecodeError for an id that is not UTF-8
        pending.extend((sub_zone, depth + 1) for sub_zone in zone.sub_environments)


def load_save(path: str) -> qor_engine.NarrativeSequencer:
    """The level in play of a save that this program can play on (a LevelPlay
    for the save of a level file, keeping its refills); SaveError otherwise."""
    try:
        sequencer = qor_engine.NarrativeSequencer.load(read_save(path))
        check_depth(sequencer.root_environment)
        sequencer.root_environment.to_json()  # every text of the tree is UTF-8
    except UnicodeDecodeError:
        raise SaveError("it holds an id that is not UTF-8 text") from None
    except MemoryError:
        raise SaveError("not enough memory to load it") from None
    except (ValueError, RuntimeError) as error:  # RecursionError is a RuntimeError
        raise SaveError(str(error) or type(error).__name__) from None
    return sequencer


def same_file(first: str | Path, second: str | Path) -> bool:
    """Whether both paths lead to one file (links followed); False when either
    cannot be looked up, as a file not there yet is no file being read."""
    try:
        return os.path.samefile(first, second)
    except (OSError, ValueError):
        return False


def folder_of(path: str) -> str:
    return os.path.dirname(path) or "."


def write_whole(path: str | os.PathLike[str], data: bytes) -> None:
    """Writes `data` to `path`, whole or not at all, never replacing what is
    there by something else. A regular file (or a new one) is written as a new
    file in the same folder, flushed to the disk, then renamed over it;
    through a symbolic link that is the file the link names, and the link
    stays. A character device or a FIFO (/dev/null, /dev/stdout, a named pipe)
    is written as it is. When anything fails a regular file is as before and
    the new file is removed. OSError's strerror says what went wrong in the
    player's words."""
    try:
        mode: int | None = os.stat(path).st_mode
    except FileNotFoundError:
        mode = None  # a new file, or a link naming a file not there yet
    if mode is not None and not stat.S_ISREG(mode):
        write_in_place(path, data, mode)
    else:
        write_by_rename(os.path.realpath(path), data)


def write_in_place(path: str | os.PathLike[str], data: bytes, mode: int) -> None:
    """Writes to a device or a FIFO as it is; refuses anything else that is
    not a regular file, saying what it is."""
    if stat.S_ISDIR(mode):
        raise OSError(errno.EISDIR, "it is a folder")
    if not (stat.S_ISCHR(mode) or stat.S_ISFIFO(mode)):
        kind = "a block device (a disk)" if stat.S_ISBLK(mode) else "a socket" if stat.S_ISSOCK(mode) else "not a file"
        raise OSError(errno.EINVAL, f"it is {kind}, which is not written to")
    descriptor = os.open(path, os.O_WRONLY | os.O_NOCTTY)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(descriptor, view):]
    finally:
        os.close(descriptor)


def write_by_rename(target: str, data: bytes) -> None:
    folder = folder_of(target)
    temporary = os.path.join(folder, f".{os.path.basename(target)}.{secrets.token_hex(6)}.tmp")
    try:
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    except FileNotFoundError:
        reason = "it is in a folder that takes no new files" if os.path.isdir(folder) else "its folder is not there"
        raise OSError(errno.ENOENT, reason) from None
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    with contextlib.suppress(OSError):  # the rename itself, on file systems that can
        handle = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(handle)
        finally:
            os.close(handle)


# --------------------------------------------------------------------------
# Command line
# --------------------------------------------------------------------------


@dataclass(frozen=True)
class SaveAt:
    """--save-at N FILE: stop after frame N and write the save to FILE."""

    frame: int
    path: str


LARGEST_FRAME_LIMIT: Final = 2**31 - 1


def frame_limit(text: str) -> int:
    """--max-frames N: a whole number from 1 to 2**31 - 1."""
    try:
        limit = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"N must be a whole number, not {text!r}") from None
    if not 1 <= limit <= LARGEST_FRAME_LIMIT:
        raise argparse.ArgumentTypeError(f"N must be from 1 to {LARGEST_FRAME_LIMIT}, not {limit}")
    return limit


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    # Paths stay as given (no pathlib): messages name them exactly, and an
    # empty one is not taken for ".".
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Play a qor_engine level and narrate it frame by frame.",
        epilog="The level file format is described in docs/levels.md.",
    )
    parser.add_argument(
        "level",
        nargs="?",
        default=None,
        metavar="LEVEL_FILE",
        help="level file to play (default: the tutorial level); with --resume, "
        "only the level's title is taken from it",
    )
    parser.add_argument(
        "--json",
        action="store_true",
        help="print the raw frame texts, one per line, instead of the narration",
    )
    parser.add_argument(
        "--save-at",
        nargs=2,
        metavar=("N", "FILE"),
        help="stop after frame N and write the level in play to FILE",
    )
    parser.add_argument(
        "--resume",
        metavar="SAVE",
        help=f"play on from a file written by --save-at (at most {MAX_SAVE_BYTES:,} bytes)",
    )
    parser.add_argument(
        "--max-frames",
        type=frame_limit,
        metavar="N",
        help="let the engine play at most N running frames (default: 1000, or the save's limit)",
    )
    parser.add_argument(
        "--check",
        nargs="+",
        metavar="FILE",
        help="check level files without playing them, listing every problem of each",
    )
    arguments = parser.parse_args(argv)
    if arguments.check is not None and (
        arguments.level is not None
        or arguments.json
        or arguments.save_at is not None
        or arguments.resume is not None
        or arguments.max_frames is not None
    ):
        parser.error("--check takes level files only, no other option")
    if arguments.save_at is not None:
        frame, file = cast(list[str], arguments.save_at)
        try:
            last_frame = int(frame)
        except ValueError:
            parser.error(f"--save-at: N must be a frame number, not {frame!r}")
        if last_frame < 0:
            parser.error(f"--save-at: N must be a frame number, 0 or more, not {last_frame}")
        if not file:
            parser.error("--save-at: the FILE name is empty")
        arguments.save_at = SaveAt(last_frame, file)
    return arguments


def fail(path: str | Path, problem: str, status: int) -> int:
    print(f"{PROGRAM}: {path}: {problem}", file=sys.stderr)
    return status


def check_levels(paths: Sequence[str]) -> int:
    """Prints "FILE: ok" for each good level file and "FILE: PLACE: PROBLEM"
    for every problem of the others."""
    all_good = True
    for path in paths:
        try:
            load_level(path)
        except LevelError as error:
            all_good = False
            for problem in error.problems:
                print(f"{path}: {problem}")
        else:
            print(f"{path}: ok")
    return EXIT_PLAYED if all_good else EXIT_BAD_LEVEL


@dataclass(frozen=True)
class Game:
    """A level ready to play: from a level file, or resumed from a save."""

    title: str
    sequencer: qor_engine.NarrativeSequencer


def stem(path: str) -> str:
    return Path(path).stem


def new_game(level_path: str, max_frames: int | None) -> Game:
    level = load_level(level_path)
    return Game(level.title or stem(level_path), build(level, max_frames).sequencer)


def resumed_game(save_path: str, level_path: str | None, max_frames: int | None) -> Game:
    """Raises SaveError for an unusable save, LevelError for an unusable level file."""
    sequencer = load_save(save_path)
    if max_frames is not None:
        sequencer.max_frames = max_frames  # else the limit the save keeps
    title = stem(save_path)
    if level_path is not None:
        title = load_level(level_path).title or stem(level_path)
    return Game(f"{title}, resumed after frame {sequencer.current_frame}", sequencer)


def read_over(save_at: SaveAt, level_path: str | None, resume: str | None) -> str | None:
    """Why the save target is a file this run reads, or None."""
    if resume is not None and same_file(save_at.path, resume):
        return f"is the save being resumed, {resume}: refusing to write the save over it"
    if level_path is not None and same_file(save_at.path, level_path):
        return f"is the level file {level_path}: refusing to write the save over it"
    return None


def run(
    level_path: str | None,
    raw_json: bool,
    save_at: SaveAt | None = None,
    resume: str | None = None,
    max_frames: int | None = None,
) -> int:
    if resume is None and level_path is None:
        level_path = str(DEFAULT_LEVEL)
    if save_at is not None:
        refusal = read_over(save_at, level_path, resume)
        if refusal is not None:
            return fail(save_at.path, refusal, EXIT_SAME_FILE)
    if resume is not None:
        try:
            game = resumed_game(resume, level_path, max_frames)
        except SaveError as error:
            return fail(resume or "''", f"cannot resume: {error}", EXIT_BAD_LEVEL)
        except LevelError as error:
            return fail(cast(str, level_path), first_problem(error), EXIT_BAD_LEVEL)
        source = resume
    else:
        source = cast(str, level_path)
        try:
            game = new_game(source, max_frames)
        except LevelError as error:
            return fail(source or "''", first_problem(error), EXIT_BAD_LEVEL)
    sequencer = game.sequencer
    root = sequencer.root_environment
    try:
        if not raw_json:
            print(f"== {game.title} ==")
            if sequencer.is_finished:
                print(f"The level in this save had already ended. {closing_line(sequencer)}")
        played = False
        for text, frame in play_on(sequencer, save_at.frame if save_at is not None else None):
            played = True
            print(text if raw_json else narrate(frame, root.charges))
        save = sequencer.save() if save_at is not None else None
        ended = closing_line(sequencer) if played and not raw_json and sequencer.is_finished else None
    except (RuntimeError, ValueError, MemoryError) as error:
        return fail(source, f"the engine failed: {str(error) or type(error).__name__}", EXIT_ENGINE_FAILED)
    if save_at is not None and save is not None:
        try:
            write_whole(save_at.path, save)
        except OSError as error:
            return fail(save_at.path, f"cannot write the save: {error.strerror or error}", EXIT_ENGINE_FAILED)
        if not raw_json:
            print(
                f"Saved after frame {sequencer.current_frame} to {save_at.path}; "
                f"root holds {format_charges(root.charges)}"
            )
    if ended is not None:
        print(ended)
    return EXIT_PLAYED


def silence_stdout() -> None:
    """Points stdout at /dev/null, so that the interpreter's own flush at
    exit does not fail again on what is left in its buffer."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def main(argv: Sequence[str] | None = None) -> int:
    arguments = parse_arguments(argv)
    try:
        if arguments.check is not None:
            status = check_levels(cast(list[str], arguments.check))
        else:
            status = run(
                cast(str | None, arguments.level),
                cast(bool, arguments.json),
                cast(SaveAt | None, arguments.save_at),
                cast(str | None, arguments.resume),
                cast(int | None, arguments.max_frames),
            )
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (e.g. "| head"): stop quietly.
        silence_stdout()
        return EXIT_OUTPUT_CLOSED
    except OSError as error:
        # A full disk, a file-size limit: the narration is incomplete.
        silence_stdout()
        print(f"{PROGRAM}: cannot write the output: {error.strerror or error}", file=sys.stderr)
        return EXIT_OUTPUT_CLOSED
    return status


if __name__ == "__main__":
    sys.exit(main())
