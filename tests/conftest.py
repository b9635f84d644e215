import os
import pathlib

import pytest


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    """Runs the test inside a fresh, empty current directory."""
    monkeypatch.chdir(tmp_path)
    return tmp_path
