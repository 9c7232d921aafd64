#!/usr/bin/env bash
# Builds the install-manager cabinets the tests unpack (fixture "cabinets"):
#   cabinets.sh <test-bin folder> <output folder>
# grendal.cab   (gcab, compressed): Grendal.exe (the client double), Mirrowen.dll,
#               readme.txt, Language\en.txt, Language\zh.txt
# noservice.cab (gcab, compressed): Mirrowen.dll, readme.txt, Language\en.txt
#               and no Grendal.exe
# hostile.cab   (make_cabinet.py): the same Grendal.exe and ok.txt,
#               Language\fine.txt, with entries whose names leave the folder:
#               ..\evil1.txt, C:\evil2.txt, \evil3.txt, Language\..\..\evil4.txt,
#               Language/../../evil5.txt, NUL, a name of 250 characters (too long once joined)
set -euo pipefail
bin=$1
out=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$out"
mkdir -p "$out/stage/Language"
stage=$out/stage
cp "$bin/clientdouble.exe" "$stage/Grendal.exe"
printf 'mirrowen\n' >"$stage/Mirrowen.dll"
printf 'readme\n' >"$stage/readme.txt"
printf 'en\n' >"$stage/Language/en.txt"
printf 'zh\n' >"$stage/Language/zh.txt"
( cd "$stage" && gcab -c -z "$out/grendal.cab" Grendal.exe Mirrowen.dll readme.txt Language/en.txt Language/zh.txt )
( cd "$stage" && gcab -c -z "$out/noservice.cab" Mirrowen.dll readme.txt Language/en.txt )
printf 'evil\n' >"$out/evil.txt"
printf 'ok\n' >"$out/ok.txt"
long=$(printf 'x%.0s' $(seq 1 250))
python3 "$here/make_cabinet.py" "$out/hostile.cab" \
  "Grendal.exe=$stage/Grendal.exe" "ok.txt=$out/ok.txt" "Language\\fine.txt=$out/ok.txt" \
  "..\\evil1.txt=$out/evil.txt" "C:\\evil2.txt=$out/evil.txt" "\\evil3.txt=$out/evil.txt" \
  "Language\\..\\..\\evil4.txt=$out/evil.txt" "Language/../../evil5.txt=$out/evil.txt" \
  "NUL=$out/evil.txt" "$long=$out/evil.txt"
rm -rf "$stage"
