#!/usr/bin/env bash
# make_packages.sh <bin-folder> <x64|x86> <version> <out-folder>
# Makes <out-folder>/ShopKit-<version>-<arch>.msi (installer/ShopKit.wxs) and
# ShopKit-<version>-<arch>.zip (the program folder) from the five files the
# build left in <bin-folder>. Needs wixl and msibuild (Debian wixl, msitools).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[ $# -eq 4 ] || { echo "usage: make_packages.sh <bin-folder> <x64|x86> <version> <out-folder>" >&2; exit 2; }
bin=$1 arch=$2 version=$3 out=$(realpath -m "$4")

case "$arch" in
  x64) win64=yes bits=256 ;;  # msidbComponentAttributes64bit
  x86) win64=no bits=0 ;;
  *) echo "make_packages: unknown architecture $arch" >&2; exit 2 ;;
esac

programs=(Orvane.exe Lumvex.ocx Novaro.exe Rundrel.exe Tallyrun.exe)
missing=()
for f in "${programs[@]}"; do [ -f "$bin/$f" ] || missing+=("$f"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "make_packages: not built in $bin: ${missing[*]}" >&2
  exit 1
fi

name=ShopKit-$version-$arch
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/$name" "$out"
for f in "${programs[@]}"; do cp "$bin/$f" "$stage/$name/"; done
cp "$here/sample/server.xml" "$stage/$name/server.xml"

msi=$stage/$name.msi
(cd "$stage/$name" && wixl -a "$arch" -D Version="$version" -D Win64="$win64" -o "$msi" "$here/ShopKit.wxs")

sql() { msibuild "$msi" -q "$1"; }
# wixl drops these component bits: the sample settings file is never
# removed (Permanent, 16) and never replaced when present (NeverOverwrite, 128).
sql "UPDATE \`Component\` SET \`Attributes\` = $((bits | 16 | 128)) WHERE \`Component\` = 'Settings'"
# wixl writes no TypeLib table: the installer registers the control's type
# library (Lumvex 3.0, language neutral) itself and removes it with the control.
sql "CREATE TABLE \`TypeLib\` (\`LibID\` CHAR(38) NOT NULL, \`Language\` SHORT NOT NULL,
  \`Component_\` CHAR(72) NOT NULL, \`Version\` LONG, \`Description\` CHAR(128) LOCALIZABLE,
  \`Directory_\` CHAR(72), \`Feature_\` CHAR(38) NOT NULL, \`Cost\` LONG
  PRIMARY KEY \`LibID\`, \`Language\`, \`Component_\`)"
sql "INSERT INTO \`TypeLib\` (\`LibID\`, \`Language\`, \`Component_\`, \`Version\`, \`Description\`, \`Feature_\`)
  VALUES ('{C8515966-EF37-46BC-9ECA-50174F0FC111}', 0, 'Control', $((3 * 256 + 0)), 'Lumvex download control', 'Kit')"
# Beside the registry actions of the standard sequence.
sql "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('UnregisterTypeLibraries', 2650)"
sql "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RegisterTypeLibraries', 5100)"
mv "$msi" "$out/$name.msi"

# The folder for copying by hand. Its settings file is a sample under another
# name, so that copying it over an installed folder keeps the shop's own.
mv "$stage/$name/server.xml" "$stage/$name/server.xml.sample"
rm -f "$out/$name.zip"
(cd "$stage" && cmake -E tar cf "$out/$name.zip" --format=zip "$name")
echo "$out/$name.msi"
echo "$out/$name.zip"
