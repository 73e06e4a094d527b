"""The module's version is the installed package's version, and the one README names."""

import importlib.metadata
import re
import tomllib
from pathlib import Path

import pytest

import qor_engine


def installed_module_files() -> set[Path]:
    try:
        files = importlib.metadata.distribution("qor_engine").files or []
    except importlib.metadata.PackageNotFoundError:
        return set()
    return {Path(file.locate()).resolve() for file in files}


def test_version_is_the_installed_package_version():
    # A module imported from a build folder (the sanitizer leg) has no
    # package metadata of its own to compare with.
    if Path(qor_engine.__file__).resolve() not in installed_module_files():
        pytest.skip(f"{qor_engine.__file__} is not the module of an installed package")
    assert qor_engine.__version__ == importlib.metadata.version("qor_engine")


def test_readme_names_the_files_of_this_version():
    """README names the wheels, the sdist and the studio page by file name: they must carry the
    project's version, or a release would leave them stale without notice."""
    root = Path(__file__).resolve().parents[2]
    version = tomllib.loads((root / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]
    readme = (root / "README.md").read_text(encoding="utf-8")
    named = re.findall(r"qor_engine-([^-\s`]+?)(?:-cp\d+|\.tar\.gz)", readme)
    assert len(named) >= 6 and set(named) == {version}
    assert set(re.findall(r"qor_studio-([^\s`]+?)\.html", readme)) == {version}


def test_the_guides_name_the_npm_package_of_this_version():
    root = Path(__file__).resolve().parents[2]
    version = tomllib.loads((root / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]
    text = (root / "README.md").read_text(encoding="utf-8") + (root / "docs" / "web.md").read_text(encoding="utf-8")
    named = re.findall(r"qor-engine-([0-9][^\s`]*?)\.tgz", text)
    assert len(named) >= 4 and set(named) == {version}
