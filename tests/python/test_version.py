"""The module's version is the installed package's version."""

import importlib.metadata
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
