#!/usr/bin/env bash
# Checks a built Debian package as Debian's tools do: lintian with no error or
# warning, and the installed desktop entry and AppStream metadata.
set -euo pipefail
deb=${1:?usage: check-package.sh PACKAGE.deb}

lintian --fail-on error,warning "$deb"
echo "lintian: no errors or warnings"

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
dpkg-deb -x "$deb" "$tree"
desktop-file-validate "$tree"/usr/share/applications/io.github.kestrelio.Kestrelio.desktop
echo "desktop-file-validate: passed"
appstreamcli validate --no-net "$tree"/usr/share/metainfo/io.github.kestrelio.Kestrelio.metainfo.xml

# Screenshot URLs point at files of this repository: a renamed image would
# leave the software centres a dead link that --no-net cannot see.
source_root=$(cd "$(dirname "$0")/.." && pwd)
metainfo="$tree"/usr/share/metainfo/io.github.kestrelio.Kestrelio.metainfo.xml
prefix=https://raw.githubusercontent.com/kestrelio/kestrelio/main/
shots=$(grep -o "<image[^>]*>[^<]*</image>" "$metainfo" | sed 's/<[^>]*>//g')
[[ -n $shots ]] || { echo "no screenshots in the AppStream metadata" >&2; exit 1; }
for url in $shots; do
    [[ $url == "$prefix"* && -f $source_root/${url#"$prefix"} ]] ||
        { echo "screenshot $url is not a file of this repository" >&2; exit 1; }
done
echo "appstream screenshots: $(wc -w <<<"$shots") files of this repository"
