# A pristine Debian 12 system to try the project on, as a newcomer's machine
# would be: a minimal debootstrap root with git and nothing else, entered as
# root.  Sourced by scripts/pristine_check.sh and scripts/package_test.sh.
#
#   pristine_root_new DIR       DIR becomes a fresh copy of the pristine root
#   pristine_run DIR COMMAND    runs the shell COMMAND as root inside DIR
#
# The root is built from the mirror this machine's apt uses and kept as a
# tarball in $VORQ_PRISTINE_CACHE (default /var/cache/vorq-pristine) for a
# month; each copy is unpacked from it.  COMMAND runs with a clean environment in mount,
# PID and IPC namespaces of its own: DIR is bind-mounted onto itself (so its
# / is a mount point, as on a real machine) with /proc, /sys and /dev, and
# every mount, process and System V IPC object goes away with the run.

PRISTINE_SUITE=bookworm
PRISTINE_CACHE=${VORQ_PRISTINE_CACHE:-/var/cache/vorq-pristine}

# The Debian archive this machine's apt reads (deb822 or one-line sources).
pristine_mirror() {
  local f uri
  for f in /etc/apt/sources.list.d/*.sources /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    case $f in
      *.sources) uri=$(awk 'BEGIN{IGNORECASE=1} /^URIs:/{u=$2} /^Suites:/ && $0 ~ / '"$PRISTINE_SUITE"'( |$)/ && u {print u; exit}' "$f") ;;
      *) uri=$(awk '$1 == "deb" && $0 ~ / '"$PRISTINE_SUITE"' / {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' "$f") ;;
    esac
    [ -n "$uri" ] && { echo "$uri"; return 0; }
  done
  echo "pristine_root: no $PRISTINE_SUITE archive in /etc/apt/sources.list*" >&2
  return 1
}

# The cached root, built on first use: debootstrap's minimal variant plus git.
pristine_tarball() {
  local tarball=$PRISTINE_CACHE/$PRISTINE_SUITE-minbase-git.tar mirror tmp
  # A month-old root is made anew, so that it stays close to the archive.
  if [ -n "$(find "$tarball" -mtime +30 2>/dev/null)" ]; then rm -f "$tarball"; fi
  if [ ! -s "$tarball" ]; then
    command -v debootstrap >/dev/null || {
      DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
    } >&2 || return 1
    mirror=$(pristine_mirror) || return 1
    mkdir -p "$PRISTINE_CACHE"
    tmp=$(mktemp -d "$PRISTINE_CACHE/build.XXXXXX")
    echo "pristine_root: debootstrap $PRISTINE_SUITE from $mirror (cached in $tarball)" >&2
    if ! debootstrap --variant=minbase --include=git "$PRISTINE_SUITE" "$tmp/root" "$mirror" \
         > "$tmp/debootstrap.log" 2>&1; then
      tail -20 "$tmp/debootstrap.log" >&2
      rm -rf "$tmp"
      return 1
    fi
    rm -rf "$tmp/root/var/cache/apt/archives/"*.deb "$tmp/root/var/lib/apt/lists/"*_* 2>/dev/null
    tar -C "$tmp/root" -cf "$tmp/root.tar" . && mv "$tmp/root.tar" "$tarball"
    rm -rf "$tmp"
  fi
  echo "$tarball"
}

# The installer of every Debian system writes /etc/hosts and /etc/hostname;
# debootstrap does not, so the copy gets the installer's defaults.
pristine_root_new() {
  local dir=$1 tarball
  tarball=$(pristine_tarball) || return 1
  mkdir -p "$dir" && tar -C "$dir" -xf "$tarball" && chmod 0755 "$dir" &&
    cp -L /etc/resolv.conf "$dir/etc/resolv.conf" || return 1
  # What the site gives each of its machines comes along: the certificate
  # authorities its administrator added locally (a network whose egress
  # re-signs TLS, say) and npm's system-wide settings.  Both are read only
  # once the root installs ca-certificates or npm itself.
  if compgen -G '/usr/local/share/ca-certificates/*.crt' >/dev/null; then
    mkdir -p "$dir/usr/local/share/ca-certificates" &&
      cp /usr/local/share/ca-certificates/*.crt "$dir/usr/local/share/ca-certificates/" || return 1
  fi
  if [ -f /etc/npmrc ]; then cp /etc/npmrc "$dir/etc/npmrc" || return 1; fi
  [ -e "$dir/etc/hostname" ] || echo pristine > "$dir/etc/hostname"
  [ -e "$dir/etc/hosts" ] || printf '%s\n' '127.0.0.1	localhost' '127.0.1.1	pristine' \
    '::1	localhost ip6-localhost ip6-loopback' > "$dir/etc/hosts"
}

pristine_run() {
  local dir=$1; shift
  # shellcheck disable=SC2016
  unshare --mount --propagation private --pid --fork --ipc bash -c '
    set -e
    root=$1; shift
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    mount -t sysfs -o ro sysfs "$root/sys"
    mount --rbind /dev "$root/dev"
    exec chroot "$root" /usr/bin/env -i HOME=/root USER=root LOGNAME=root SHELL=/bin/bash \
      TERM="${TERM:-dumb}" LANG=C.UTF-8 \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      bash -c "cd /root && $1"
  ' pristine_run "$dir" "$*"
}
