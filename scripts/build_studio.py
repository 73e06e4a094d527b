#!/usr/bin/env python3
"""Builds the level studio: one self-contained HTML page.

    python scripts/build_studio.py [--engine build/web/qor_engine.js] [-o build/web/studio.html]

The page template web/studio/studio.html gets, inlined: the styles (the shared
drawing code's and the studio's), the engine (the WebAssembly build in one
script), the shared drawing code, the studio's scripts, and as data the sample
levels of examples/levels and the replay page it exports. Its
Content-Security-Policy allows nothing from the network: only its own styles
and scripts, by their hashes, compiling the engine's WebAssembly and reading
it from the data: URL it is inlined as.
"""

from __future__ import annotations

import argparse
import ast
import base64
import hashlib
import html
import json
import re
import sys
from pathlib import Path
from typing import cast

ROOT = Path(__file__).resolve().parents[1]
WEB = ROOT / "web"
LEVELS = ROOT / "examples" / "levels"

# The page's own code and styles, in the order the page runs them: the shared
# drawing of a level (web/draw), then the studio's (web/studio).
STYLES = ["draw/draw.css", "studio/studio.css"]
SCRIPTS = ["draw/draw.js", "draw/jsonpatch.js", "studio/level_model.js", "studio/level_player.js",
           "studio/replay_page.js", "studio/file_kinds.js", "studio/studio.js"]
REPLAY = ROOT / "examples" / "replay.py"
FIRST_LEVEL = "tutorial.json"


def script_json(value: object) -> str:
    """JSON that is safe inside a <script> element."""
    text = json.dumps(value, ensure_ascii=True, separators=(",", ":"))
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def csp_hash(source: str) -> str:
    digest = hashlib.sha256(source.encode("utf-8")).digest()
    return "'sha256-" + base64.b64encode(digest).decode("ascii") + "'"


def samples() -> list[dict[str, str]]:
    files = sorted(LEVELS.glob("*.json"), key=lambda path: (path.name != FIRST_LEVEL, path.name))
    found = []
    for path in files:
        text = path.read_text(encoding="utf-8")
        found.append({"file": path.name, "title": json.loads(text).get("title") or path.stem, "text": text})
    return found


def page_source(*parts: str) -> str:
    """Files under web/, joined: ASCII only, and no end tag of the element
    they are inlined into."""
    text = "\n".join((WEB / part).read_text(encoding="utf-8") for part in parts)
    if not text.isascii() or re.search(r"</(script|style)", text, re.IGNORECASE):
        raise SystemExit(f"build_studio.py: {', '.join(parts)}: cannot be inlined (not ASCII, or holds an end tag)")
    return text


def replay_parts() -> dict[str, object]:
    """replay.py's PAGE_TEMPLATE, PAGE_STYLES and PAGE_SCRIPTS, read from its
    text (importing it needs the native module)."""
    parts: dict[str, object] = {}
    for node in ast.parse(REPLAY.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name) and node.value is not None:
            if node.target.id in ("PAGE_TEMPLATE", "PAGE_STYLES", "PAGE_SCRIPTS"):
                parts[node.target.id] = ast.literal_eval(node.value)
    return parts


def replay_template() -> str:
    """The replay page the studio exports, as examples/replay.py makes it,
    with everything but its title and its data filled in."""
    parts = replay_parts()
    style = page_source(*cast(tuple[str, ...], parts["PAGE_STYLES"]))
    script = page_source(*cast(tuple[str, ...], parts["PAGE_SCRIPTS"]))
    policy = (
        "default-src 'none'; "
        f"style-src {csp_hash(style)}; "
        f"script-src {csp_hash(script)}; "
        "img-src 'none'; base-uri 'none'; form-action 'none'"
    )
    fields = {"POLICY": html.escape(policy), "STYLE": style, "SCRIPT": script}
    template = (WEB / cast(str, parts["PAGE_TEMPLATE"])).read_text(encoding="utf-8")
    return re.sub(r"@(POLICY|STYLE|SCRIPT)@", lambda match: fields[match.group(1)], template)


def render(engine: str) -> str:
    if re.search(r"</script", engine, re.IGNORECASE):
        raise SystemExit("build_studio.py: the engine holds </script, which would end its element")
    scripts = [engine] + [page_source(part) for part in SCRIPTS]
    styles = [page_source(part) for part in STYLES]
    policy = "; ".join([
        "default-src 'none'",
        "style-src " + " ".join(csp_hash(style) for style in styles),
        "script-src 'wasm-unsafe-eval' " + " ".join(csp_hash(script) for script in scripts),
        # The engine's loader reads its own WebAssembly, inlined as a data: URL,
        # with fetch(); data: URLs are no network.
        "connect-src data:",
        "img-src 'none'",
        "base-uri 'none'",
        "form-action 'none'",
    ])
    data = {"studio-samples": samples(), "replay-template": replay_template()}
    fields = {
        "POLICY": html.escape(policy),
        "STYLES": "\n".join(f"<style>{style}</style>" for style in styles),
        "DATA": "\n".join(f'<script type="application/json" id="{key}">{script_json(value)}</script>'
                           for key, value in data.items()),
        "SCRIPTS": "\n".join(f"<script>{script}</script>" for script in scripts),
    }
    # One pass: a field's text is never searched for further fields.
    template = (WEB / "studio" / "studio.html").read_text(encoding="utf-8")
    return re.sub(r"@([A-Z]+)@", lambda match: fields[match.group(1)], template)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--engine", type=Path, default=ROOT / "build" / "web" / "qor_engine.js")
    parser.add_argument("-o", "--output", type=Path, default=ROOT / "build" / "web" / "studio.html")
    arguments = parser.parse_args()
    page = render(arguments.engine.read_text(encoding="utf-8"))
    arguments.output.parent.mkdir(parents=True, exist_ok=True)
    arguments.output.write_text(page, encoding="utf-8")
    print(arguments.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
