"""The exception that DeziRO raises for every failure of the engine."""


class VevaDuzor(Exception):
    """A failure of DeziRO: `code` names its kind (such as "NOT_FOUND" or
    "CORRUPTED") and `message` says what happened."""

    def __init__(self, code: str, message: str) -> None:
        super().__init__(code, message)

    @property
    def code(self) -> str:
        return self.args[0]

    @property
    def message(self) -> str:
        return self.args[1]

    def __str__(self) -> str:
        return f"{self.code}: {self.message}"
