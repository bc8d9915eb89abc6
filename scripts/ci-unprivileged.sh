#!/usr/bin/env bash
# Runs the serial, pseudo-terminal, logging and image-file tests as an
# ordinary user. Root gets past the exclusive open (TIOCEXCL) and file modes,
# so faults in both stay hidden when the suite runs as root only.
#
# As root: creates the user (QELD_CI_USER, default qeld-ci) if missing, gives
# it a private HOME and its own copy of the build, and runs the tests there
# with runuser. As anyone else: runs them in place as that user.
# A test that skips itself fails this stage: here every one of them must run.
# Usage: scripts/ci-unprivileged.sh [build folder, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
user=${QELD_CI_USER:-qeld-ci}
# The pty tests carry the label "serial"; these suites of the headless tests
# write and read files.
file_suites='^(Logging|Download)\.'

[ -x "$build/qeld-sim" ] && [ -x "$build/tests/qeld_pty_tests" ] || {
  echo "ci-unprivileged: no build in $build (run scripts/build.sh first)" >&2
  exit 1
}

work=$(mktemp -d /tmp/qeld-ci-unpriv.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"  # the user reaches its HOME and copy inside

if [ "$(id -u)" -eq 0 ]; then
  if ! id -u "$user" >/dev/null 2>&1; then
    useradd --system --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user"
  fi
  home=$work/home copy=$work/build
  mkdir -p "$home" "$copy"
  # The test programs, the simulator, the console and ctest's files; not the
  # objects and libraries. The copy's ctest files name the copy, not the original.
  tar -C "$build" --exclude=CMakeFiles --exclude='*_autogen' --exclude='*.a' --exclude=Testing -cf - . |
    tar -C "$copy" -xf -
  find "$copy" -name '*.cmake' -exec sed -i -E "s#$build(/|[\"';) ]|\$)#$copy\1#g" {} +
  chown -R "$user:" "$home" "$copy"
  chmod 700 "$home"
  run() { runuser -u "$user" -- env HOME="$home" QELD_SIM_PATH="$copy/qeld-sim" "$@"; }
else
  copy=$build
  run() { env QELD_SIM_PATH="$copy/qeld-sim" "$@"; }
fi

[ "$(run id -u)" -ne 0 ] || { echo "ci-unprivileged: the tests would run as root" >&2; exit 1; }
echo "== as $(run id -un) (uid $(run id -u)), build copy in $copy"

status=0
start=$SECONDS
for selection in "-L serial" "-R $file_suites"; do
  # shellcheck disable=SC2086  # the selection is two words on purpose
  run env QT_QPA_PLATFORM=offscreen ctest --test-dir "$copy" $selection --output-on-failure -j2 \
    2>&1 | tee "$work/ctest.log" || status=1
  grep -q '100% tests passed\|tests passed, 0 tests failed' "$work/ctest.log" || status=1
  if grep -q 'The following tests did not run' "$work/ctest.log"; then
    echo "ci-unprivileged: tests skipped as an ordinary user; each must run here" >&2
    status=1
  fi
  if grep -q 'No tests were found' "$work/ctest.log"; then
    echo "ci-unprivileged: no tests selected by $selection" >&2
    status=1
  fi
done
echo "== serial and file tests as $(run id -un): $((SECONDS - start))s"
exit $status
