"""What the table generators share: write the generated source, or check that the checked-in one
is still what it would be."""

import sys


def write_or_check(text, sources):
    """Writes text to standard output; with --check FILE, exits with a message instead where FILE
    differs from it. sources says what the text was made from."""
    if len(sys.argv) == 3 and sys.argv[1] == "--check":
        with open(sys.argv[2], encoding="utf-8") as checked_in:
            if checked_in.read() != text:
                sys.exit(f"{sys.argv[2]} is not what {sources} give: run this script again")
    else:
        sys.stdout.write(text)
