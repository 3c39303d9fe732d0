"""The command line both atheris targets share.

    python TARGET.py --replay DIR...   runs every kept input through check() (no atheris needed)
    python TARGET.py --seeds DIR       writes the target's seed inputs into DIR
    python TARGET.py [atheris flags]   fuzzes check() with atheris
"""

import pathlib


def main(argv, check, seeds):
    if len(argv) > 2 and argv[1] == "--replay":
        files = [p for d in argv[2:] for p in sorted(pathlib.Path(d).iterdir())]
        for path in files:
            check(path.read_bytes())
        print(f"replayed {len(files)} inputs")
        return
    if len(argv) > 2 and argv[1] == "--seeds":
        out = pathlib.Path(argv[2])
        out.mkdir(parents=True, exist_ok=True)
        for i, blob in enumerate(seeds()):
            (out / f"seed-{i}").write_bytes(blob)
        return
    import atheris

    atheris.Setup(argv, check)
    atheris.Fuzz()
