"""Failures that the command reports as one line on stderr."""

from __future__ import annotations

EXIT_FAILURE = 1
EXIT_USAGE = 2


class CliError(Exception):
    """A failure with the message to show and the exit status to return."""

    def __init__(self, message: str, exit_code: int = EXIT_FAILURE) -> None:
        super().__init__(message)
        self.exit_code = exit_code


def describe(exc: BaseException) -> str:
    """One line saying what went wrong, without the exception's class name
    where the message speaks for itself (file errors)."""
    if isinstance(exc, OSError) and exc.strerror:
        text = exc.strerror
    else:
        text = str(exc) or type(exc).__name__
        if not isinstance(exc, (ValueError, LookupError)):
            text = f"{type(exc).__name__}: {text}"
    return " ".join(text.split())
