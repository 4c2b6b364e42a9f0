# Shared by the project's scripts: Debian packages installed on demand, and the build directories.
# Sourced, not run.

PW_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Packages the build and the tests need. Add a package here when a part of the server starts using it.
PW_BUILD_PACKAGES=(build-essential cmake g++ ccache pkg-config libcrypto++-dev libssl-dev libpugixml-dev libidn2-dev libsqlite3-dev
  libopendkim-dev libspf2-dev libopendmarc-dev publicsuffix nlohmann-json3-dev)
# The clients of the README's quick start, which scripts/run installs with the server.
PW_RUN_PACKAGES=(swaks curl)
# What scripts/package needs to make and check the Debian package.
PW_PACKAGE_PACKAGES=(dpkg-dev lintian)
PW_TEST_PACKAGES=(systemd libgtest-dev libgmock-dev python3 python3-pytest clang libclang-rt-14-dev openssl curl swaks libnet-ssleay-perl fetchmail isync offlineimap3 postfix
  clamav-daemon spamassassin spamd dovecot-core dovecot-pop3d python3-dkim python3-nacl)

pw_log() { printf '==> %s\n' "$*" >&2; }

# zlib: the CRCs of the folder index's log.
PW_BUILD_PACKAGES+=(zlib1g-dev)

# Installs the Debian packages that are missing, with sudo when not root.
pw_ensure_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
      sudo=(sudo)
    else
      echo "These Debian packages are missing and there is no sudo to install them: ${missing[*]}" >&2
      return 1
    fi
  fi
  pw_log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # No service a package brings may start: tests and benchmarks run private instances of their own,
  # a peer installed as usual would listen on the mail ports, and a system-wide clamd or freshclam
  # would look for a network this machine may not have. Postfix is given "No configuration". The
  # policy-rc.d is our own, removed afterwards, never one the machine has.
  [[ " ${missing[*]} " == *" postfix "* ]] &&
    echo "postfix postfix/main_mailer_type select No configuration" | "${sudo[@]}" debconf-set-selections
  local policy=/usr/sbin/policy-rc.d made_policy=
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null && "${sudo[@]}" chmod 755 "$policy" && made_policy=1
  fi
  local status=0
  "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}" ||
    { "${sudo[@]}" apt-get update && "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; } || status=$?
  [ -n "$made_policy" ] && "${sudo[@]}" rm -f "$policy"
  return "$status"
}

pw_jobs() { nproc 2>/dev/null || echo 2; }

# Configures and builds one build directory: pw_build DIR [cmake options...]
# PW_TARGETS, when set, names the targets to build instead of all of them.
pw_build() {
  local dir="$1"
  shift
  # ccache keeps the objects of earlier builds (its cache lives outside the checkout), so the three
  # builds of a test run compile only what changed since the last run on this machine.
  local launcher=()
  if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    # Paths below the checkout count as relative, so a fresh checkout elsewhere still hits the cache.
    export CCACHE_BASEDIR="$PW_ROOT" CCACHE_NOHASHDIR=true
  fi
  cmake -S "$PW_ROOT" -B "$dir" "${launcher[@]}" "$@" >/dev/null
  local targets=()
  for target in ${PW_TARGETS:-}; do targets+=(--target "$target"); done
  cmake --build "$dir" -j "$(pw_jobs)" "${targets[@]}"
}
