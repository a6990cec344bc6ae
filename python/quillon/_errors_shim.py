"""Stand-in for quillon.errors until the package's own error module lands:
the same constructor, Error(code, library, message)."""


class Error(RuntimeError):
    """A failure of one of the card's libraries: `code`, `library` and a one-line `message`."""

    def __init__(self, code: int, library: str, message: str) -> None:
        super().__init__(f"{message} ({library} code {code})" if code else message)
        self.code = code
        self.library = library
        self.message = message
