#!/usr/bin/env bash
# Checks what the wheel offers those who install it: a manylinux tag that
# auditwheel confirms for the binary's symbol versions, the MIT licence and the
# README in its metadata, and the type stubs with their py.typed marker.
#
# Usage: scripts/ci/wheel_contents.sh WHEEL   (the build venv must exist)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
WHEEL="$1"

log "Checking the wheel's platform tag, metadata and type stubs"
shown="$(PATH="$BUILD_VENV/bin:$PATH" "$BUILD_VENV/bin/auditwheel" show "$WHEEL" 2>/dev/null)"
"$BUILD_VENV/bin/python" - "$WHEEL" "$shown" "$REPO_ROOT/README.md" <<'PY'
import pathlib, re, sys, zipfile

wheel, shown, readme = pathlib.Path(sys.argv[1]), sys.argv[2], pathlib.Path(sys.argv[3])
problems = []
tag = re.fullmatch(r"marrowfin_rs-[^-]+-cp312-abi3-(manylinux_2_\d+_x86_64)\.whl", wheel.name)
confirmed = re.search(r'platform tag:\s*"(manylinux_2_\d+_x86_64)"', shown)
if not tag:
    problems.append(f"{wheel.name} is not a cp312-abi3 manylinux_2_x wheel")
elif not confirmed or confirmed.group(1) != tag.group(1):
    problems.append(f"auditwheel does not confirm {tag.group(1)}:\n{shown}")

with zipfile.ZipFile(wheel) as archive:
    names = set(archive.namelist())
    dist_info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
    metadata = archive.read(f"{dist_info}/METADATA").decode()
header, _, body = metadata.partition("\n\n")
for line in ("License-Expression: MIT", "Description-Content-Type: text/markdown"):
    if line not in header.splitlines():
        problems.append(f"METADATA lacks '{line}'")
if body.strip() != readme.read_text(encoding="utf-8").strip():
    problems.append("the long description is not README.md")
expected = {f"{dist_info}/licenses/LICENSE", "marrowfin_rs/py.typed"} | {
    f"marrowfin_rs/{stub}.pyi" for stub in ("__init__", "_core", "codec", "corpus", "backend")}
problems += [f"the wheel lacks {name}" for name in sorted(expected - names)]

if problems:
    sys.exit("error: " + "\n".join(problems))
print(f"{wheel.name}: tag confirmed by auditwheel, MIT licence, README description, stubs")
PY
