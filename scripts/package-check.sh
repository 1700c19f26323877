#!/bin/sh
# Makes the Debian package of the default build and checks it as a user meets it:
# lintian finds no error and no warning (the info-level tags it still prints are
# explained in the README), the package holds exactly the files listed below, and
# installed with dpkg into a temporary root its velorctl runs and tells its version,
# its manual pages open and bash completes velorctl's commands.
#   scripts/package-check.sh     (after a build of the default preset; builds what is missing)
set -eu
cd "$(dirname "$0")/.."
BUILD=build/default
cmake --preset default >/dev/null
cmake --build "$BUILD" -j "${VELOR_JOBS:-$(nproc)}" >/dev/null
VERSION=$(sed -n 's/^inline constexpr const char\* VELOR_VERSION = "\(.*\)";$/\1/p' \
    "$BUILD/generated/velor/Version.h")
DEB="$BUILD/velor_${VERSION}_$(dpkg --print-architecture).deb"
rm -f "$DEB"
(cd "$BUILD" && cpack -G DEB >/dev/null)

ROOT=$(mktemp -d)
trap 'rm -rf "$ROOT"' EXIT

echo "lintian -I $DEB"
if ! lintian -I --fail-on error,warning "$DEB" >"$ROOT/lintian" 2>&1; then
    grep -v '^running with root' "$ROOT/lintian" >&2
    echo "lintian: errors or warnings" >&2
    exit 1
fi
grep -v '^running with root' "$ROOT/lintian" || true

mkdir -p "$ROOT/var/lib/dpkg/info" "$ROOT/var/lib/dpkg/updates"
: >"$ROOT/var/lib/dpkg/status"
# The temporary root has none of the libraries the package depends on: the host's serve.
if ! dpkg --root="$ROOT" --force-depends --force-script-chrootless -i "$DEB" \
    >"$ROOT/dpkg.log" 2>&1; then
    cat "$ROOT/dpkg.log" >&2
    exit 1
fi

cat >"$ROOT/expected" <<LIST
/usr/bin/velorcfg
/usr/bin/velorctl
/usr/bin/velorsim
/usr/share/applications/velorcfg.desktop
/usr/share/bash-completion/completions/velorctl
/usr/share/bash-completion/completions/velorsim
/usr/share/doc/velor/changelog.gz
/usr/share/doc/velor/copyright
/usr/share/icons/hicolor/32x32/apps/velorcfg.png
/usr/share/man/man1/velorcfg.1.gz
/usr/share/man/man1/velorctl.1.gz
/usr/share/man/man1/velorsim.1.gz
/usr/share/zsh/vendor-completions/_velorctl
/usr/share/zsh/vendor-completions/_velorsim
LIST
dpkg --root="$ROOT" -L velor | while read -r f; do [ -d "$ROOT$f" ] || echo "$f"; done |
    sort >"$ROOT/installed"
if ! diff -u "$ROOT/expected" "$ROOT/installed"; then
    echo "the package's files differ from the list (- expected, + installed)" >&2
    exit 1
fi

out=$("$ROOT/usr/bin/velorctl" --version)
[ "$out" = "velorctl $VERSION" ] || { echo "velorctl --version: $out" >&2; exit 1; }
for page in velorctl velorsim velorcfg; do
    MANWIDTH=80 man -l "$ROOT/usr/share/man/man1/$page.1.gz" | grep -q "^NAME" ||
        { echo "man $page: no page" >&2; exit 1; }
done
out=$(bash --norc -c ". '$ROOT/usr/share/bash-completion/completions/velorctl'
    COMP_WORDS=(velorctl fl); COMP_CWORD=1; _velorctl; echo \"\${COMPREPLY[*]}\"")
[ "$out" = "flash" ] || { echo "bash completion of velorctl fl: $out" >&2; exit 1; }
echo "package $DEB: lintian clean, $(wc -l <"$ROOT/installed") files as listed, velorctl $VERSION runs"
