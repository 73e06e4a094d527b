#!/usr/bin/env python3
"""Play a qor_engine level file and write a replay: one self-contained HTML page.

    python examples/replay.py [LEVEL_FILE] [-o OUTPUT.html]

The level is read and played by the engine, as play.py does
(qor_engine.read_level, Level.play(), its "refill" agents placed again by
the LevelPlay), with next_frame_patch(): the page embeds the
level as built and every frame, the last one included, as the engine's JSON
Patch against the frame before it (the first patch holds the whole first
frame), and applies them in the page.

The page draws one frame at a time: the zone tree as nested boxes, charges as
chips, agents, frozen zones dimmed, the agent that acted (in the place where
it stood) or the zone that merged highlighted and scrolled into view, with
first/previous/next/last buttons, a slider, the arrow keys and play/pause.
Magnitudes a frame writes as null are read from the zones after the frame and
shown as NaN, +inf or -inf. Beside each standing agent the page shows why it
acts, waits or declines, and marks the zone that keeps another frozen, as the
engine's explain() tells it after every frame; after the last frame a banner
gives the outcome in the engine's words ("Won: every gate opened", "Lost:
...", "Stopped at the frame limit"), above the closing line. The page embeds
of each explanation only what it draws (see Explanations): a flat level of
1,000 agents and 200 zones makes a page of about 0.8 MB, 0.2 MB of it the
explanations.

The page's code and styles are files of their own, inlined into it here: the
drawing of a level, shared with other pages, in web/draw/, the replay's
controls in web/replay/ (both found beside this folder, from the repository's
root). The page needs nothing beside it and fetches nothing: its policy
forbids every load, and its own style and script are allowed by their hashes
only. The data is embedded as JSON with every "<", ">" and "&" escaped, and
the page puts ids and messages into the document as text, never as markup.

A replay page is at most MAX_PAGE_BYTES (64 MiB) long. The page's length
(patches and explanations) is counted as the level is played, and a level
whose replay would be longer is refused as soon as that is known, before the
page is built (a level file of a few MiB whose every frame is large could
otherwise ask for gigabytes).
The output file is written whole or not at all; through a symbolic link, the
file it names is written. A device or a FIFO (/dev/stdout, a named pipe) is
written as it is, never replaced.

The replay never writes over the level it plays: an output that is the level
file itself (by any path: the same name, a symbolic or hard link, another
route to it) is refused before anything is played or written.

Exit status: 0 when the replay was written, 2 when the level file is unusable,
its replay would be longer than the bound or the output is the level file
(one line on stderr says why), 1 when the engine fails, memory runs out or
the output cannot be written.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import html
import json
import math
import os
import re
import sys
from collections.abc import Iterator, Sequence
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Final, TypeAlias, cast

import qor_engine
from play import (
    DEFAULT_LEVEL,
    EXIT_BAD_LEVEL,
    EXIT_ENGINE_FAILED,
    LevelError,
    first_problem,
    format_charges,
    frame_count,
    load_level,
    same_file,
    still_standing,
    waiting_agents,
    write_whole,
)

if TYPE_CHECKING:
    from qor_engine import FrameResponse

Json: TypeAlias = Any  # a parsed JSON value

PROGRAM: Final = "replay.py"
DEFAULT_OUTPUT: Final = Path("replay.html")
EXIT_WRITTEN: Final = 0
EXIT_WRITE_FAILED: Final = 1
EXIT_TOO_LARGE: Final = 2
EXIT_OUTPUT_IS_LEVEL: Final = 2
# The longest page written: a replay beyond it is refused (see the docstring).
MAX_PAGE_BYTES: Final = 64 * 1024 * 1024
LISTED_WAITING: Final = 5  # agents named in the outcome; the tree shows them all

# The page's own code and styles, inlined into it: the drawing of a level is
# shared with other pages (web/draw), the rest is the replay's (web/replay).
WEB: Final = Path(__file__).resolve().parent.parent / "web"
PAGE_TEMPLATE: Final = "replay/replay.html"
PAGE_STYLES: Final = ("draw/draw.css", "replay/replay.css")
PAGE_SCRIPTS: Final = ("draw/draw.js", "draw/jsonpatch.js", "replay/replay.js")
# How the page is told a value the frame wrote as null (JavaScript's Number()
# reads these texts back).
NON_FINITE_TEXT: Final = {"nan": "NaN", "inf": "Infinity", "-inf": "-Infinity"}


@dataclass(frozen=True)
class Replay:
    """Everything the page shows, as plain data."""

    title: str
    description: str
    level_file: str
    start: Json  # the root zone before the first frame, as to_json() writes it
    # Frame n as the engine's JSON Patch against frame n - 1: the first one
    # replaces the whole document with the first frame.
    patches: list[Json]
    # The magnitudes the frames write as null, by JSON Pointer, written as
    # NON_FINITE_TEXT: by the step from which they hold (0 is the level as
    # built, n the document after frame n), whenever they change.
    exact: dict[str, dict[str, str]]
    outcome: str
    # Why each standing agent acts or waits after every step, and how the
    # level ended, from explain(): see Explanations.
    explained: Json


def non_finite_magnitudes(root: qor_engine.Environment) -> dict[str, str]:
    """The magnitudes a frame of the level writes as null, read from the
    zones themselves, by their JSON Pointers in the frame."""
    found: dict[str, str] = {}
    pending = [(root, "")]
    while pending:
        zone, pointer = pending.pop()
        for index, charge in enumerate(zone.charges):
            if not math.isfinite(charge.magnitude):
                found[f"{pointer}/charges/{index}/magnitude"] = NON_FINITE_TEXT[str(charge.magnitude)]
        for index, sub_zone in enumerate(zone.sub_environments):
            pending.append((sub_zone, f"{pointer}/sub_environments/{index}"))
    return found


def writes_null_magnitude(text: str) -> bool:
    return re.search(r'"magnitude":\s*null', text) is not None


class PageTooLarge(Exception):
    """The page would be longer than its bound."""

    def __init__(self, limit: int, frames: int) -> None:
        super().__init__(
            f"the replay would be larger than {limit:,} bytes, the bound of a replay page "
            f"(reached after frame {frames}); it was not written"
        )


@dataclass
class PageSize:
    """The page's length in bytes, counted as it is built and refused beyond
    `limit` before more is built."""

    limit: int
    frames: int = 0
    length: int = 0

    def add(self, text: str) -> None:
        self.length += len(text)
        if self.length > self.limit:
            raise PageTooLarge(self.limit, self.frames)


class ExactValues:
    """The magnitudes the document writes as null, as they change from step
    to step; read from the zones only while there may be any."""

    def __init__(self, root: qor_engine.Environment) -> None:
        self.root = root
        self.by_step: dict[str, dict[str, str]] = {}
        self.current: dict[str, str] = {}

    def after(self, step: int, text: str) -> dict[str, dict[str, str]]:
        """The entry to embed for a step whose frame or patch is `text`."""
        if not self.current and not writes_null_magnitude(text):
            return {}
        values = non_finite_magnitudes(self.root)
        if values == self.current:
            return {}
        self.current = self.by_step[str(step)] = values
        return {str(step): values}


class Explanations:
    """explain() after every step, kept as only what the page draws: the
    engine's CompactExplanations (docs/frames.md, "The replay's
    explanations"), its data parsed for the page."""

    def __init__(self) -> None:
        self.compact = qor_engine.CompactExplanations()

    def add(self, text: str) -> str:
        """Keeps a step's explanation (explain()'s text); returns the JSON
        text of what it added to the page's data, for counting."""
        return script_json(json.loads(self.compact.add(text)))

    def data(self) -> Json:
        return json.loads(self.compact.to_json())


def record(level: qor_engine.Level, level_file: str, max_bytes: int) -> Replay:
    """Plays the level to its end and keeps every frame as a patch, refusing
    a page longer than `max_bytes` (PageTooLarge) as soon as it would be."""
    sequencer = level.play()
    root = sequencer.root_environment
    title = level.title or Path(level_file).stem
    description = level.description or ""
    start_text = root.to_json()
    start = json.loads(start_text)
    patches: list[Json] = []
    exact = ExactValues(root)
    explained = Explanations()
    # Counted short of the page by at most a few bytes a frame (commas and
    # braces), never over it: the written page is measured once more.
    size = PageSize(max_bytes)
    size.add(render_page(Replay(title, description, level_file, start, [], {}, "", explained.data())))

    def count_exact_values(step: int, text: str) -> None:
        entry = exact.after(step, text)
        if entry:
            size.add(script_json(entry)[2:])

    count_exact_values(0, start_text)
    size.add(explained.add(sequencer.explain()))
    last: FrameResponse | None = None
    for text, frame in play_patches(sequencer):
        patch = json.loads(text)
        patches.append(patch)
        size.frames = len(patches)
        size.add(script_json(patch))
        count_exact_values(len(patches), text)
        size.add(explained.add(sequencer.explain()))
        last = frame
    outcome = describe_outcome(last, root.charges) if last is not None else "No frames."
    return Replay(title, description, level_file, start, patches, exact.by_step, outcome, explained.data())


def play_patches(sequencer: qor_engine.NarrativeSequencer) -> Iterator[tuple[str, FrameResponse]]:
    """Plays the level to its end, yielding each frame's JSON Patch text and
    the frame it makes (one document, patched in place: copy it to keep it)."""
    document: Json = None
    while not sequencer.is_finished:
        text = sequencer.next_frame_patch()
        document = apply_patch(document, json.loads(text))
        yield text, cast("FrameResponse", document)


def pointer_tokens(pointer: str) -> list[str]:
    if pointer == "":
        return []
    if not pointer.startswith("/"):
        raise ValueError(f"not a JSON Pointer: {pointer!r}")
    return [token.replace("~1", "/").replace("~0", "~") for token in pointer[1:].split("/")]


def apply_patch(document: Json, operations: Json) -> Json:
    """Applies an RFC 6902 JSON Patch of the operations the engine writes
    ("add", "remove", "replace") in place and returns the document (a new
    one for an operation on the whole document). ValueError when it cannot."""
    for operation in operations:
        try:
            document = apply_operation(document, operation)
        except (KeyError, IndexError, TypeError, ValueError) as error:
            raise ValueError(f"cannot apply {operation!r:.200}: {error!r}") from None
    return document


def apply_operation(document: Json, operation: Json) -> Json:
    op, tokens = operation["op"], pointer_tokens(operation["path"])
    if op not in ("add", "remove", "replace") or (op == "remove" and not tokens):
        raise ValueError("not an operation the engine writes")
    if not tokens:
        return operation["value"]
    parent = document
    for token in tokens[:-1]:
        parent = parent[int(token)] if isinstance(parent, list) else parent[token]
    key = tokens[-1]
    if isinstance(parent, list):
        index = len(parent) if key == "-" and op == "add" else int(key)
        if index < 0 or index > len(parent) - (op != "add"):
            raise IndexError(key)
        if op == "add":
            parent.insert(index, operation["value"])
        elif op == "remove":
            del parent[index]
        else:
            parent[index] = operation["value"]
    elif op == "remove":
        del parent[key]
    elif op == "replace" and key not in parent:
        raise KeyError(key)
    else:
        parent[key] = operation["value"]
    return document


def summarize(last: FrameResponse, root_charges: Sequence[qor_engine.Charge]) -> str:
    meta = last["meta"]
    count = frame_count(meta["frame_index"])
    if meta["status"] == "ERROR":
        head = f"Stopped by the frame limit after {count}"
    else:
        head = f"Resolved after {count}"
    return f"{head}; root holds {format_charges(root_charges)}{still_standing(last)}"


def describe_outcome(last: FrameResponse, root_charges: Sequence[qor_engine.Charge]) -> str:
    """The page's closing line, naming at most a few of the agents still standing."""
    line = summarize(last, root_charges)
    waiting = waiting_agents(last)
    if len(waiting) <= LISTED_WAITING:
        return line
    head = line.partition("; still standing: ")[0]
    listed = ", ".join(waiting[:LISTED_WAITING])
    return f"{head}; still standing: {listed} and {len(waiting) - LISTED_WAITING} more"


def script_json(value: object) -> str:
    """JSON that is safe inside a <script> element: pure ASCII, and no "<",
    ">" or "&" that could end the element or open a comment."""
    text = json.dumps(value, ensure_ascii=True, separators=(",", ":"))
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def csp_hash(source: str) -> str:
    digest = hashlib.sha256(source.encode("utf-8")).digest()
    return "'sha256-" + base64.b64encode(digest).decode("ascii") + "'"


def page_source(*parts: str) -> str:
    """The text of files under web/, joined. It must be ASCII (the page is
    written as ASCII, and a character reference means nothing inside a script)
    and may not end the element it is inlined into."""
    text = "\n".join((WEB / part).read_text(encoding="utf-8") for part in parts)
    if not text.isascii() or re.search(r"</(script|style)", text, re.IGNORECASE):
        raise ValueError(f"{', '.join(parts)}: cannot be inlined (not ASCII, or holds an end tag)")
    return text


def render_page(replay: Replay) -> str:
    style = page_source(*PAGE_STYLES)
    script = page_source(*PAGE_SCRIPTS)
    policy = (
        "default-src 'none'; "
        f"style-src {csp_hash(style)}; "
        f"script-src {csp_hash(script)}; "
        "img-src 'none'; base-uri 'none'; form-action 'none'"
    )
    fields = {
        "POLICY": html.escape(policy),
        "TITLE": html.escape(f"{replay.title} - replay"),
        "STYLE": style,
        "DATA": script_json(asdict(replay)),
        "SCRIPT": script,
    }
    # One pass: a field's text is never searched for further fields.
    template = (WEB / PAGE_TEMPLATE).read_text(encoding="utf-8")
    return re.sub(r"@([A-Z]+)@", lambda match: fields[match.group(1)], template)


# --------------------------------------------------------------------------
# Command line
# --------------------------------------------------------------------------


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Play a qor_engine level and write a self-contained HTML replay of it.",
        epilog="The level file format is described in docs/levels.md.",
    )
    parser.add_argument(
        "level",
        nargs="?",
        type=Path,
        default=DEFAULT_LEVEL,
        metavar="LEVEL_FILE",
        help="level file to play (default: the tutorial level)",
    )
    parser.add_argument(
        "-o",
        "--output",
        type=Path,
        default=DEFAULT_OUTPUT,
        metavar="OUTPUT",
        help=f"HTML file to write (default: {DEFAULT_OUTPUT})",
    )
    return parser.parse_args(argv)


def fail(path: Path, problem: str, status: int) -> int:
    print(f"{PROGRAM}: {path}: {problem}", file=sys.stderr)
    return status


def run(level_path: Path, output: Path) -> int:
    if same_file(level_path, output):
        return fail(output, f"is the level file {level_path}: refusing to write the replay over it",
                    EXIT_OUTPUT_IS_LEVEL)
    try:
        level = load_level(level_path)
    except LevelError as error:
        return fail(level_path, first_problem(error), EXIT_BAD_LEVEL)
    try:
        replay = record(level, level_path.name, MAX_PAGE_BYTES)
        # Pure ASCII: characters beyond it become character references.
        page = render_page(replay).encode("ascii", "xmlcharrefreplace")
        if len(page) > MAX_PAGE_BYTES:
            raise PageTooLarge(MAX_PAGE_BYTES, len(replay.patches))
    except PageTooLarge as error:
        return fail(level_path, str(error), EXIT_TOO_LARGE)
    except MemoryError:
        return fail(level_path, "out of memory", EXIT_ENGINE_FAILED)
    except OSError as error:  # the page's own files
        return fail(WEB, f"cannot read the page's code: {error}", EXIT_WRITE_FAILED)
    except (RuntimeError, ValueError) as error:
        return fail(
            level_path,
            f"the engine failed: {str(error) or type(error).__name__}",
            EXIT_ENGINE_FAILED,
        )
    try:
        write_whole(output, page)
    except OSError as error:
        return fail(output, f"cannot write: {error.strerror or error}", EXIT_WRITE_FAILED)
    print(f"{output}: replay of {level_path.name}, {len(replay.patches)} frames")
    return EXIT_WRITTEN


def main(argv: Sequence[str] | None = None) -> int:
    arguments = parse_arguments(argv)
    return run(cast(Path, arguments.level), cast(Path, arguments.output))


if __name__ == "__main__":
    sys.exit(main())
