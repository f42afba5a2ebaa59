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
