#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks the installed program the way an operator
# meets it: the file tree, the desktop entry, the manual pages, `corvanta --version`, the Debian
# package's contents, and the settings file under the user's XDG config folder, both when the
# program's own folder is writable (as `cmake --install --prefix ~/.local` leaves it) and when it
# is not (as a normal user: a temporary account when run as root).
#
#   tests/install_test.sh BUILD_DIR
set -euo pipefail
BUILD=$1
WORK=$(mktemp -d "${TMPDIR:-/tmp}/corvanta-install.XXXXXX")
USER_NAME=corvanta-test
APP_PID=""
cleanup() {
  [ -n "$APP_PID" ] && kill -KILL "$APP_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

chmod 755 "$WORK"
PREFIX="$WORK/prefix"
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null

echo "--- installed tree"
for f in bin/corvanta bin/corvanta-linksim bin/corvanta-guardian share/corvanta/CORVANTA.HLP \
  share/applications/corvanta.desktop share/icons/hicolor/scalable/apps/corvanta.svg \
  share/icons/hicolor/16x16/apps/corvanta.png share/icons/hicolor/32x32/apps/corvanta.png \
  share/icons/hicolor/48x48/apps/corvanta.png share/icons/hicolor/64x64/apps/corvanta.png \
  share/man/man1/corvanta.1.gz share/man/man1/corvanta-linksim.1.gz; do
  [ -s "$PREFIX/$f" ] || fail "missing $f"
done
[ -x "$PREFIX/bin/corvanta" ] && [ -x "$PREFIX/bin/corvanta-linksim" ] || fail "not executable"
for size in 16 32 48 64; do
  magic=$(head -c 16 "$PREFIX/share/icons/hicolor/${size}x${size}/apps/corvanta.png" | od -An -tx1 |
    tr -d ' \n')
  [ "$magic" = "89504e470d0a1a0a0000000d49484452" ] || fail "icon $size is not a PNG"
  dims=$(head -c 24 "$PREFIX/share/icons/hicolor/${size}x${size}/apps/corvanta.png" | tail -c 8 |
    od -An -tu1 | tr -s ' ' | sed 's/^ //')
  [ "$dims" = "0 0 0 $size 0 0 0 $size" ] || fail "icon $size is $dims"
done
echo "ok"

echo "--- desktop entry"
desktop-file-validate "$PREFIX/share/applications/corvanta.desktop"
echo "ok"

echo "--- manual pages"
for page in corvanta corvanta-linksim; do
  out=$(MANWIDTH=80 man --warnings -l "$PREFIX/share/man/man1/$page.1.gz" 2>"$WORK/man.err")
  [ -s "$WORK/man.err" ] && { cat "$WORK/man.err"; fail "$page(1) has formatting warnings"; }
  grep -q "EXIT STATUS" <<<"$out" || fail "$page(1) has no EXIT STATUS"
  grep -q "SETPTT" <<<"$out" || fail "$page(1) does not describe the wire format"
done
echo "ok"

echo "--- installed programs"
[ "$("$PREFIX/bin/corvanta" --version)" = "corvanta 1.0.22" ] || fail "corvanta --version"
[ "$("$PREFIX/bin/corvanta-linksim" --version)" = "corvanta-linksim 1.0.22" ] ||
  fail "corvanta-linksim --version"
echo "ok"

printf '\r\n\r\n 100 \r\n 250 \r\n 700 \r\n 0 \r\nk\r\nt\r\n 50 \r\n' >"$WORK/expected.cfg"
# Starts the installed program with HOME=$1 as the command prefix that follows (none: this user),
# waits for its first-start settings file under $1/config and closes the program.
first_start() {
  local home=$1
  shift
  "$@" env -i PATH=/usr/bin:/bin HOME="$home" XDG_CONFIG_HOME="$home/config" \
    XDG_RUNTIME_DIR="$home/run" QT_QPA_PLATFORM=offscreen SDL_AUDIODRIVER=dummy \
    "$PREFIX/bin/corvanta" >"$WORK/app.log" 2>&1 &
  APP_PID=$!
  CFG="$home/config/corvanta/corvanta.cfg"
  for _ in $(seq 1 100); do [ -s "$CFG" ] && break; sleep 0.1; done
  sleep 0.5
  kill -TERM "$APP_PID" 2>/dev/null || true
  wait "$APP_PID" || true
  APP_PID=""
  [ -s "$CFG" ] || { cat "$WORK/app.log"; fail "no settings file under XDG_CONFIG_HOME"; }
  [ ! -e "$PREFIX/bin/corvanta.cfg" ] || fail "settings written beside the installed program"
  cmp "$WORK/expected.cfg" "$CFG" || fail "the first-start settings differ from the expected bytes"
}

echo "--- settings under the user's XDG config folder, the program's folder writable"
HOME_DIR="$WORK/home-own"
mkdir -p "$HOME_DIR/run"
chmod 700 "$HOME_DIR/run"
test -w "$PREFIX/bin" || fail "the program's folder is not writable for this user"
bin_before=$(ls -A "$PREFIX/bin")
first_start "$HOME_DIR"
[ "$(ls -A "$PREFIX/bin")" = "$bin_before" ] || fail "the program wrote into its own folder"
echo "ok ($CFG)"

echo "--- settings under the user's XDG config folder, the program's folder read-only"
HOME_DIR="$WORK/home"
mkdir -p "$HOME_DIR/run"
chmod 700 "$HOME_DIR/run"
run_as=()
if [ "$(id -u)" -eq 0 ]; then
  id "$USER_NAME" >/dev/null 2>&1 ||
    useradd --system --no-create-home --shell /usr/sbin/nologin "$USER_NAME"
  chown -R "$USER_NAME" "$HOME_DIR"
  run_as=(runuser -u "$USER_NAME" --)
else
  chmod a-w "$PREFIX/bin"  # what an installation under /usr gives a normal user
fi
"${run_as[@]}" test ! -w "$PREFIX/bin" || fail "the program's folder is writable for the test user"
first_start "$HOME_DIR" "${run_as[@]}"
echo "ok ($CFG)"

echo "--- Debian package"
(cd "$WORK" && cpack -G DEB --config "$BUILD/CPackConfig.cmake" >"$WORK/cpack.log" 2>&1) ||
  { cat "$WORK/cpack.log"; fail "cpack"; }
DEB=$(ls "$WORK"/corvanta_*.deb)
depends=$(dpkg-deb -f "$DEB" Depends)
echo "Depends: $depends"
for lib in libqt6widgets6 libqt6help6 libqt6network6 libsdl2 libqt6sql6-sqlite fonts-; do
  grep -q "$lib" <<<"$depends" || fail "the package does not depend on $lib"
done
dpkg-deb -c "$DEB" >"$WORK/contents"
grep -q "./usr/bin/corvanta$" "$WORK/contents" || fail "the package has no /usr/bin/corvanta"
grep -q "./usr/share/corvanta/CORVANTA.HLP" "$WORK/contents" || fail "no help file in the package"
echo "ok ($(stat -c %s "$DEB") bytes)"
