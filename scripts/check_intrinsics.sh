#!/usr/bin/env bash
# Keeps SIMD intrinsics inside the primitives and the decoder's DSP files.
# A DSP file is a vector body compiled once per instruction set
# (*_simd.inc) or one of its variant files (*_sse2.cpp, *_ssse3.cpp,
# *_sse41.cpp). Any other source that uses intrinsics must be on the list of
# files still to convert below; a listed file that no longer uses them must
# leave the list. Exits non-zero on either.
set -euo pipefail
cd "$(dirname "$0")/.."

# Still to convert: their kernels move into DSP files of their area.
pending=(
)

pattern='[a-z]*mmintrin\.h|_mm_[a-z0-9_]+\(|__m128|__m256'
status=0
while IFS= read -r file; do
  case "$file" in
    *_simd.inc | *_sse2.cpp | *_ssse3.cpp | *_sse41.cpp) continue ;;
  esac
  if [[ " ${pending[*]} " != *" $file "* ]]; then
    echo "intrinsics outside the DSP files: $file" >&2
    status=1
  fi
done < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h' '*.inc' '*.c' ':!primitives/' ':!tests/' ':!bench/' | xargs grep -lE "$pattern" || true)
for file in "${pending[@]}"; do
  if [ ! -f "$file" ] || ! grep -qE "$pattern" "$file"; then
    echo "no intrinsics left in $file: take it off the list in $0" >&2
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "intrinsics: only in primitives/ and DSP files (${#pending[@]} files still to convert)"
exit "$status"
