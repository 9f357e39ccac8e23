"""`inspect`: what a key or ciphertext file is, without any secret.

The core describes the bytes (halcyra_pqc.describe), so this command and the library never
disagree about a file. What is shown: kinds, sizes, parameters and public-key fingerprints;
never key material, pass phrase parameters beyond the published ones, or plaintext.
"""

from ... import describe
from ..exits import OK, USAGE
from ..files import InputError, open_file

NAME = "inspect"
SUMMARY = "say what a key or ciphertext file is"
EXAMPLES = """\
examples:
  halcyra-pqc inspect private.json public.json notes.enc
  halcyra-pqc inspect --json store/*.bin

Kinds: hybrid, mlkem (pure ML-KEM), protected, classic-rsa, unknown; a ciphertext's form
is streamed (what encrypt writes) or one-shot (what programs write). A classic RSA
ciphertext holds nothing that says what it is: a file of such a size is reported as
probably one. No key material is ever printed: only kinds, sizes and public fingerprints."""


def add_arguments(parser) -> None:
    parser.add_argument("files", metavar="FILE", nargs="+")
    parser.add_argument("--json", action="store_true", help="print the findings as JSON")


def run(args) -> int:
    """Prints what each file is; exits with 2 when some file could not be read."""
    results = [_file(path) for path in args.files]
    if args.json:
        import json

        print(json.dumps(results, indent=2))
    else:
        for result in results:
            print(f"{result['file']}: {result['summary']}")
    return OK if all(result["kind"] != "unreadable" for result in results) else USAGE


def _file(path: str) -> dict:
    # Regular files only: a FIFO would wait for a writer, a device may never end.
    try:
        with open_file(path, regular_only=True) as source:
            return {"file": path, **describe(source, source.size)}
    except InputError as error:
        return {"file": path, "kind": "unreadable", "content": None, "summary": error.reason}
