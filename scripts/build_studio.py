#!/usr/bin/env python3
"""Builds the level studio: one self-contained HTML page.

    python scripts/build_studio.py [--engine build/web/qor_engine.js] [-o build/web/studio.html]

The page template web/studio/studio.html gets, inlined: the styles (the shared
drawing code's and the studio's), the engine (the WebAssembly build in one
script), the shared drawing code, the studio's scripts, and the sample levels
of examples/levels as data. Its Content-Security-Policy allows nothing from
the network: only its own styles and scripts, by their hashes, compiling the
engine's WebAssembly and reading it from the data: URL it is inlined as.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import html
import json
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
WEB = ROOT / "web"
STUDIO = WEB / "studio"
LEVELS = ROOT / "examples" / "levels"

# In the order the page runs them.
STUDIO_SCRIPTS = ["level_json.js", "close_matches.js", "level_check.js", "level_model.js",
                  "level_player.js", "studio.js"]
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


def checked_script(source: str, name: str) -> str:
    if "</script" in source.lower():
        raise SystemExit(f"build_studio.py: {name} holds </script, which would end its element")
    return source


def render(engine: str, draw_scripts: list[str], draw_styles: list[str], extra_data: dict[str, str]) -> str:
    scripts = [checked_script(engine, "the engine")]
    scripts += draw_scripts
    scripts += [checked_script((STUDIO / name).read_text(encoding="utf-8"), name) for name in STUDIO_SCRIPTS]
    styles = draw_styles + [(STUDIO / "studio.css").read_text(encoding="utf-8")]
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
    data = {"studio-samples": samples(), **extra_data}
    template = (STUDIO / "studio.html").read_text(encoding="utf-8")
    return (
        template.replace("@POLICY@", html.escape(policy))
        .replace("@STYLES@", "\n".join(f"<style>{style}</style>" for style in styles))
        .replace("@DATA@", "\n".join(
            f'<script type="application/json" id="{key}">{script_json(value)}</script>'
            for key, value in data.items()))
        .replace("@SCRIPTS@", "\n".join(f"<script>{script}</script>" for script in scripts))
    )


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--engine", type=Path, default=ROOT / "build" / "web" / "qor_engine.js")
    parser.add_argument("-o", "--output", type=Path, default=ROOT / "build" / "web" / "studio.html")
    parser.add_argument("--draw-js", type=Path, action="append", default=[])
    parser.add_argument("--draw-css", type=Path, action="append", default=[])
    arguments = parser.parse_args()
    engine = arguments.engine.read_text(encoding="utf-8")
    page = render(engine, [p.read_text() for p in arguments.draw_js], [p.read_text() for p in arguments.draw_css], {})
    arguments.output.parent.mkdir(parents=True, exist_ok=True)
    arguments.output.write_bytes(page.encode("ascii", "xmlcharrefreplace") if False else page.encode("utf-8"))
    print(arguments.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
