"""What `import kestu` costs in a fresh interpreter, against `import dataclasses`.

The yardstick is a standard-library import of the size of a small library,
which programs of any size make: a ratio to it holds on a slow machine and a
fast one alike. Beyond its own modules, kestu's import brings in logging (the
bridge connects on import) and typing. Targets: at most 117 M instructions
(set on CPython 3.11), and timed, at most 1.6 times dataclasses: the same
bound as a ratio (117 M against its 72 M).
"""

from harness import fresh_import


def main() -> None:
    fresh_import("import kestu vs import dataclasses, fresh interpreter", "dataclasses", "kestu",
                 target=1.6, instructions=117e6)


if __name__ == "__main__":
    main()
