#!/usr/bin/env bash
# What the .deb holds and how its pieces pass the platform's own checkers:
# the files and where they go, the control data (version, dependencies,
# conffile), the unit (systemd-analyze verify), the manual pages (man), the
# desktop entry (desktop-file-validate), the polkit action (xmllint), the
# maintainer scripts (run below a private DPKG_ROOT with logging stand-ins
# for the systemd tools) and the shell completion's sub-commands.
#   check_layout.sh OUT_DIR PROJECT_VERSION HAS_WINDOW(0|1)
set -euo pipefail
. "$(dirname "$0")/package_lib.sh"
DEB=$(package_deb "$1")
WDEB=$(package_deb "$1" neltstore)
VERSION=$2
HAS_WINDOW=$3

T=$(mktemp -d "${TMPDIR:-/tmp}/nelt-layout.XXXXXX")
trap 'rm -rf -- "$T"' EXIT
dpkg-deb -x "$DEB" "$T/root"
dpkg-deb -x "$WDEB" "$T/root"
dpkg-deb -e "$DEB" "$T/control"
dpkg-deb -e "$WDEB" "$T/wcontrol"
R=$T/root
# Which package holds which path ("./usr/bin/nelt-cli" lines).
dpkg-deb -c "$DEB" | awk '{ print $6 }' >"$T/service.files"
dpkg-deb -c "$WDEB" | awk '{ print $6 }' >"$T/window.files"

# ---------------------------------------------------------------- files
expected=(
  usr/bin/KavixService usr/bin/nelt-cli usr/bin/kavix-pack usr/bin/nelt-helper
  etc/nelt/nelt_store.conf
  usr/lib/systemd/system/nelt.service
  usr/share/polkit-1/actions/vn.nelt.store.policy
  usr/share/applications/neltstore.desktop
  usr/share/icons/hicolor/48x48/apps/neltstore.png
  usr/share/icons/hicolor/128x128/apps/neltstore.png
  usr/share/icons/hicolor/256x256/apps/neltstore.png
  usr/share/icons/hicolor/scalable/apps/neltstore.svg
  usr/share/man/man1/nelt-cli.1.gz usr/share/man/man1/kavix-pack.1.gz
  usr/share/man/man1/NeltStore.1.gz usr/share/man/man8/KavixService.8.gz
  usr/share/bash-completion/completions/nelt-cli
  usr/share/doc/neltstore/copyright usr/share/doc/neltstore/changelog.gz
)
if [ "$HAS_WINDOW" = 1 ]; then
  expected+=(usr/bin/NeltStore usr/share/neltstore/icon/icon-nelt-store.png usr/share/neltstore/icon/logo.png)
fi
# The update notifier: the program and its page with the window, the
# autostart entry (a conffile) always.
expected+=(etc/xdg/autostart/nelt-notify.desktop)
if [ "$HAS_WINDOW" = 1 ]; then
  expected+=(usr/bin/nelt-notify usr/share/man/man1/nelt-notify.1.gz)
fi
for f in "${expected[@]}"; do
  [ -f "$R/$f" ] || fail "the packages lack /$f"
done
# The service's package needs no Qt and no desktop; the window's holds the
# window and what only a desktop uses.
service_only=(usr/bin/KavixService usr/bin/nelt-cli usr/bin/kavix-pack usr/bin/nelt-helper
  etc/nelt/nelt_store.conf usr/lib/systemd/system/nelt.service
  usr/share/polkit-1/actions/vn.nelt.store.policy usr/share/bash-completion/completions/nelt-cli
  usr/share/man/man1/nelt-cli.1.gz usr/share/man/man8/KavixService.8.gz usr/share/man/man8/nelt-helper.8.gz
  usr/share/doc/neltstore-service/copyright usr/bin/nelt/.port.conf)
window_only=(usr/share/applications/neltstore.desktop usr/share/icons/hicolor/scalable/apps/neltstore.svg
  usr/share/man/man1/NeltStore.1.gz usr/share/doc/neltstore/copyright)
if [ "$HAS_WINDOW" = 1 ]; then window_only+=(usr/bin/NeltStore usr/share/neltstore/icon/logo.png); fi
for f in "${service_only[@]}"; do
  grep -qx "./$f" "$T/service.files" || fail "neltstore-service lacks /$f"
  ! grep -qx "./$f" "$T/window.files" || fail "neltstore holds /$f too"
done
for f in "${window_only[@]}"; do
  grep -qx "./$f" "$T/window.files" || fail "neltstore lacks /$f"
  ! grep -qx "./$f" "$T/service.files" || fail "neltstore-service holds /$f"
done
for p in KavixService nelt-cli kavix-pack; do
  [ -x "$R/usr/bin/$p" ] || fail "/usr/bin/$p is not executable"
done
# /usr/bin/nelt holds only the clients' port file, a link to the one the
# service writes below /run/nelt; the test programs of the build stay out of
# the packages.
[ "$(readlink "$R/usr/bin/nelt/.port.conf")" = /run/nelt/.port.conf ] ||
  fail "/usr/bin/nelt/.port.conf is no link to /run/nelt/.port.conf"
[ "$(ls -A "$R/usr/bin/nelt")" = .port.conf ] || fail "/usr/bin/nelt holds more: $(ls -A "$R/usr/bin/nelt")"
for p in "$R"/usr/bin/*; do
  case "${p##*/}" in
    KavixService | NeltStore | nelt-cli | kavix-pack | nelt-helper | nelt-notify | nelt) ;;
    *) fail "unexpected program in the package: /usr/bin/${p##*/}" ;;
  esac
done
printf 'ok: the package holds the programs, data, unit, policy, entry, icons, pages and completion\n'

for size in 48 128 256; do
  file "$R/usr/share/icons/hicolor/${size}x${size}/apps/neltstore.png" | grep -q "PNG image data, $size x $size" ||
    fail "the ${size}x${size} icon is not a ${size}x${size} PNG"
done
xmllint --noout "$R/usr/share/icons/hicolor/scalable/apps/neltstore.svg" || fail "the scalable icon is not well-formed XML"
printf 'ok: icon sizes\n'

# ---------------------------------------------------------------- control
ctl() { dpkg-deb -f "$DEB" "$1"; }
[ "$(ctl Package)" = neltstore-service ] || fail "package name $(ctl Package)"
[ "$(ctl Version)" = "$VERSION" ] || fail "package version $(ctl Version), project version $VERSION"
depends=$(ctl Depends)
for dep in 'snapd' 'pkexec | policykit-1' 'lsb-release' 'squashfs-tools' 'libc6' 'libcurl4'; do
  grep -qF "$dep" <<<"$depends" || fail "Depends lacks $dep: $depends"
done
! grep -qi 'qt5\|libx' <<<"$depends" || fail "the service's package pulls Qt or X: $depends"
grep -qF 'neltstore (<< 0.2.0)' <<<"$(ctl Replaces)" && grep -qF 'neltstore (<< 0.2.0)' <<<"$(ctl Breaks)" ||
  fail "neltstore-service does not replace the single package of earlier versions"
wdepends=$(dpkg-deb -f "$WDEB" Depends)
[ "$(dpkg-deb -f "$WDEB" Package)" = neltstore ] && [ "$(dpkg-deb -f "$WDEB" Version)" = "$VERSION" ] ||
  fail "window package $(dpkg-deb -f "$WDEB" Package) $(dpkg-deb -f "$WDEB" Version)"
grep -qF "neltstore-service (= $VERSION)" <<<"$wdepends" || fail "neltstore does not depend on its service: $wdepends"
if [ "$HAS_WINDOW" = 1 ]; then
  grep -q 'libqt5widgets5' <<<"$wdepends" || fail "the window's Depends lacks the Qt libraries: $wdepends"
fi
grep -qx '/etc/nelt/nelt_store.conf' "$T/control/conffiles" || fail "the configuration is not a conffile"
grep -qx '/etc/xdg/autostart/nelt-notify.desktop' "$T/wcontrol/conffiles" || fail "the autostart entry is not a conffile of neltstore"
python3 -c 'import json, sys
conf = json.load(open(sys.argv[1]))
assert isinstance(conf.get("local_port"), int), "local_port"
assert conf.get("kavix_path", "").startswith("/var/lib/nelt"), "kavix_path"
assert conf.get("data_kavix_path", "").startswith("/var/lib/nelt/"), "data_kavix_path"
assert conf.get("port_file") == "/run/nelt/.port.conf", "port_file"
' "$R/etc/nelt/nelt_store.conf" || fail "the shipped configuration is not the default one"
printf 'ok: control data: %s %s, Depends: %s\n' "$(ctl Package)" "$(ctl Version)" "$depends"

# ---------------------------------------------------------------- unit
unit=$R/usr/lib/systemd/system/nelt.service
grep -qx 'ExecStart=/usr/bin/KavixService' "$unit" || fail "the unit does not start /usr/bin/KavixService"
# Nothing below /usr is written: state and port file have folders of their
# own; /root stays readable enough for `snap list`.
! grep -E '^ReadWritePaths=.*/usr' "$unit" || fail "the unit opens /usr for writing"
grep -qx 'StateDirectory=nelt' "$unit" && grep -qx 'RuntimeDirectory=nelt' "$unit" ||
  fail "the unit lacks StateDirectory=nelt or RuntimeDirectory=nelt"
grep -Eqx 'ProtectHome=(tmpfs|read-only)' "$unit" || fail "ProtectHome= hides /root from snap list"
if command -v systemd-analyze >/dev/null; then
  # verify wants the program at the path the unit names; the copy names the
  # extracted one. Any message (unknown key, bad value) fails.
  mkdir -p "$T/unit"
  sed "s#^ExecStart=/usr/bin/KavixService#ExecStart=$R/usr/bin/KavixService#" "$unit" >"$T/unit/nelt.service"
  if ! out=$(systemd-analyze verify --man=no "$T/unit/nelt.service" 2>&1) || [ -n "$out" ]; then
    printf '%s\n' "$out"
    fail "systemd-analyze verify complains about the unit"
  fi
  printf 'ok: systemd-analyze verify\n'
else
  printf 'systemd-analyze is not installed: the unit is not verified\n'
fi

# ---------------------------------------------------------------- manual pages
if command -v man >/dev/null; then
  for page in "$R"/usr/share/man/man*/*.gz; do
    name=$(basename "$page" .gz)
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >"$T/page.txt") || fail "man cannot render $name"
    [ -z "$warnings" ] || fail "man warns about $name: $warnings"
    grep -q '^NAME' "$T/page.txt" && grep -q '^SYNOPSIS' "$T/page.txt" || fail "$name renders without NAME or SYNOPSIS"
  done
  printf 'ok: the manual pages render without warnings\n'
else
  printf 'man is not installed: the manual pages are not rendered\n'
fi

# ---------------------------------------------------------------- desktop entry
desktop=$R/usr/share/applications/neltstore.desktop
if command -v desktop-file-validate >/dev/null; then
  out=$(desktop-file-validate "$desktop" 2>&1) || { printf '%s\n' "$out"; fail "desktop-file-validate rejects the entry"; }
  [ -z "$out" ] || printf 'desktop-file-validate hints:\n%s\n' "$out"
  printf 'ok: desktop-file-validate\n'
else
  printf 'desktop-file-validate is not installed: the entry is not validated\n'
fi
grep -qx 'Icon=neltstore' "$desktop" || fail "the entry does not name the installed icon"
if [ "$HAS_WINDOW" = 1 ]; then
  exec_prog=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop" | head -n 1)
  [ -x "$R/usr/bin/$exec_prog" ] || fail "the entry starts $exec_prog, which the package does not install"
fi
autostart=$R/etc/xdg/autostart/nelt-notify.desktop
if command -v desktop-file-validate >/dev/null; then
  out=$(desktop-file-validate "$autostart" 2>&1) || { printf '%s\n' "$out"; fail "desktop-file-validate rejects the autostart entry"; }
fi
grep -qx 'Exec=nelt-notify' "$autostart" || fail "the autostart entry does not start nelt-notify"
[ "$HAS_WINDOW" = 0 ] || [ -x "$R/usr/bin/nelt-notify" ] || fail "the autostart entry starts nelt-notify, which the package does not install"
printf 'ok: the autostart entry\n'

# ---------------------------------------------------------------- polkit
policy=$R/usr/share/polkit-1/actions/vn.nelt.store.policy
xmllint --noout --nonet "$policy" || fail "the polkit policy is not well-formed XML"
ids=$(xmllint --nonet --xpath '//action/@id' "$policy")
action() { xmllint --nonet --xpath "string(//action[@id=\"$1\"]/$2)" "$policy"; }
for id in vn.nelt.store.helper vn.nelt.store.service-start; do
  grep -q "id=\"$id\"" <<<"$ids" || fail "the policy has no action $id: $ids"
  # Every call asks: no kept authorisation another process could reuse.
  for who in allow_any allow_inactive allow_active; do
    [ "$(action "$id" "defaults/$who")" = auth_admin ] || fail "$id: $who is not auth_admin"
  done
done
[ "$(action vn.nelt.store.helper 'annotate[@key="org.freedesktop.policykit.exec.path"]')" = /usr/bin/nelt-helper ] ||
  fail "the helper action does not name /usr/bin/nelt-helper"
[ -x "$R/usr/bin/nelt-helper" ] || fail "the package does not install the helper the policy names"
[ "$(action vn.nelt.store.service-start 'annotate[@key="org.freedesktop.policykit.exec.argv1"]')" = start ] ||
  fail "the service-start action is not limited to systemctl start"
! grep -q '/usr/bin/snap' "$policy" || fail "the policy still lets pkexec run snap directly"
printf 'ok: the polkit policy is well-formed with its two asking actions\n'

# ---------------------------------------------------------------- maintainer scripts
# Stand-ins for the systemd tools record every call; DPKG_ROOT keeps the
# scripts' folders and the "is systemd running" check below $T/sys.
mkdir -p "$T/tools"
for tool in systemctl deb-systemd-helper deb-systemd-invoke; do
  cat >"$T/tools/$tool" <<TOOL
#!/bin/sh
echo "$tool \$*" >>"$T/calls"

exit 0
TOOL
  chmod +x "$T/tools/$tool"
done
run_script() {
  : >"$T/calls"
  DPKG_ROOT="$T/sys" PATH="$T/tools:/usr/sbin:/usr/bin:/sbin:/bin" sh "$T/control/$1" "${@:2}" ||
    fail "$1 $* failed"
}
called() { grep -qx "$1" "$T/calls"; }

for s in postinst prerm postrm; do
  [ -x "$T/control/$s" ] || fail "the package has no executable $s"
done
if [ "$(id -u)" = 0 ]; then
  # No systemd running (a chroot, an image build): folders and enablement
  # only, nothing started.
  mkdir -p "$T/sys"
  run_script postinst configure
  for d in var/lib/nelt var/lib/nelt/data; do
    [ "$(stat -c '%U:%G %a' "$T/sys/$d")" = "root:root 755" ] || fail "postinst leaves /$d as $(stat -c '%U:%G %a' "$T/sys/$d")"
  done
  called 'deb-systemd-helper enable nelt.service' || fail "postinst does not enable the unit: $(cat "$T/calls")"
  ! grep -q 'systemctl\|deb-systemd-invoke' "$T/calls" || fail "postinst touches systemd although it is not running: $(cat "$T/calls")"

  # systemd running: reload, then start on a first install, restart on an upgrade.
  mkdir -p "$T/sys/run/systemd/system"
  run_script postinst configure
  called 'systemctl --system daemon-reload' && called 'deb-systemd-invoke start nelt.service' ||
    fail "postinst does not reload and start: $(cat "$T/calls")"
  run_script postinst configure 0.0.1
  called 'deb-systemd-invoke restart nelt.service' || fail "postinst does not restart after an upgrade: $(cat "$T/calls")"
  # An upgrade from a version that kept its data below /usr/bin/nelt moves
  # it once; a later configure leaves the moved data alone.
  rm -rf "$T/sys/var/lib/nelt"
  mkdir -p "$T/sys/usr/bin/nelt/data/apps"
  echo '{"old":1}' >"$T/sys/usr/bin/nelt/data/user.json"
  run_script postinst configure 0.1.0
  [ "$(cat "$T/sys/var/lib/nelt/data/user.json")" = '{"old":1}' ] && [ -d "$T/sys/var/lib/nelt/data/apps" ] ||
    fail "an upgrade does not move /usr/bin/nelt/data to /var/lib/nelt/data"
  [ ! -e "$T/sys/usr/bin/nelt/data" ] || fail "the old data folder stays below /usr/bin/nelt"
  run_script postinst configure 0.2.0
  [ "$(cat "$T/sys/var/lib/nelt/data/user.json")" = '{"old":1}' ] || fail "a second configure loses the moved data"
  run_script prerm upgrade 0.2.0
  ! called 'deb-systemd-invoke stop nelt.service' || fail "prerm stops the service for an upgrade"
  run_script prerm remove
  called 'deb-systemd-invoke stop nelt.service' || fail "prerm does not stop the service: $(cat "$T/calls")"
  run_script postrm remove
  called 'systemctl --system daemon-reload' || fail "postrm does not reload systemd: $(cat "$T/calls")"
  [ -d "$T/sys/var/lib/nelt/data" ] || fail "a removal without purge deletes the service's data"
  mkdir -p "$T/sys/run/nelt" "$T/sys/usr/bin/nelt/kavix/x"
  run_script postrm purge
  [ ! -e "$T/sys/var/lib/nelt" ] && [ ! -e "$T/sys/run/nelt" ] || fail "purge leaves the service's state"
  [ ! -e "$T/sys/usr/bin/nelt" ] || fail "purge leaves /usr/bin/nelt"
  called 'deb-systemd-helper purge nelt.service' || fail "purge does not forget the unit: $(cat "$T/calls")"
  printf 'ok: maintainer scripts with and without a running systemd\n'
else
  printf 'not root: the maintainer scripts (chown root) are not run\n'
fi

# ---------------------------------------------------------------- completion
if [ -f /usr/share/bash-completion/bash_completion ]; then
  words=$(bash -c '
    . /usr/share/bash-completion/bash_completion
    . "$1"
    COMP_WORDS=(nelt-cli in); COMP_CWORD=1; COMP_LINE="nelt-cli in"; COMP_POINT=${#COMP_LINE}
    _nelt_cli nelt-cli in nelt-cli
    echo "${COMPREPLY[*]}"
    COMP_WORDS=(nelt-cli install --); COMP_CWORD=2; COMP_LINE="nelt-cli install --"; COMP_POINT=${#COMP_LINE}
    _nelt_cli nelt-cli -- install
    echo "${COMPREPLY[*]}"' _ "$R/usr/share/bash-completion/completions/nelt-cli")
  [ "$words" = "$(printf 'info install\n--json --verbose --version')" ] ||
    fail "completion offers: $words"
  printf 'ok: completion of sub-commands and options\n'
else
  printf 'bash-completion is not installed: the completion is not tried\n'
fi
