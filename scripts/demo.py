"""A short tour of DeziRO, run by scripts/demo."""

import deziro


def main() -> None:
    print(f"DeziRO engine {deziro.engine_version()}")
    print(f"file format version {deziro.FORMAT_VERSION}")


if __name__ == "__main__":
    main()
