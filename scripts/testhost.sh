#!/bin/bash
# The SSH test host: a stand-in "device" at 192.168.191.2 for deployment and
# imaging tests with the real defaults.
#
#   scripts/testhost.sh up [--image FILE] [--password]
#                                           make it (a 4 MiB random image when none is given);
#                                           --password: root may also log in with the
#                                           deployment's default password
#   scripts/testhost.sh env                 print HOME= and SSH_AUTH_SOCK= for PuTTY's tools
#   scripts/testhost.sh hostkey             print the SHA256: fingerprint of the device's SSH host key
#   scripts/testhost.sh exec CMD [ARG...]   run CMD inside the device (its network, PID and mount namespaces)
#   scripts/testhost.sh image FILE          serve FILE (not under /tmp) as /dev/rdisk0s1s2 from now on
#   scripts/testhost.sh daemon-args [ARGS]  further daemon options for the sessions from now on
#   scripts/testhost.sh peer CMD [ARG...]   run CMD on another machine of the device's network
#   scripts/testhost.sh down                remove everything it made
#
# Exit status 77 from up: this machine cannot hold the test host (not root,
# no network namespaces, a tool missing, the address range taken); the
# message says which.
#
# The device is a network namespace with the address 192.168.191.2/24 on a
# veth pair (the workstation side, 192.168.191.1/24, stays in the root
# namespace), with its own PID and mount namespaces, a private /tmp and /run,
# and an OpenSSH server on port 22 that has its own configuration: its own
# host key, root's key authorised from a file of this instance, no PAM.
# The daemon started there finds "/dev/rdisk0s1s2" mapped onto the image
# and logs to the device's /tmp/krsd.log (KRSD_ARGS set by the server for
# every session). Another machine on the device's network, 192.168.191.3,
# is a network namespace of its own on a macvlan of the workstation's side
# (peer): what the device serves to the examiner alone is tried from there.
# The key is offered by an
# ssh-agent of this instance; PuTTY's host-key cache lives under a temporary
# HOME. Nothing of the machine's accounts, passwords or root's files changes:
# with --password (for PuTTY's Windows tools under Wine, which have no agent
# to ask) the device has a shadow file of its own that gives root the
# deployment's default password, and its sshd takes passwords.
# The delivered daemon is an ARMv7 program: up registers Debian's user-mode
# emulator with binfmt_misc (scripts/arm-emulation.sh) so the device runs it;
# where that cannot be done it says why (a host build of the daemon runs
# anyway).
# Needs root, iproute2 (ip netns), util-linux (unshare, nsenter), sshd,
# ssh-agent and putty-tools.
set -euo pipefail

NS=krii-dev
WS_IF=krii-ws
DEV_IF=krii-dev0
WS_ADDR=192.168.191.1
DEV_ADDR=192.168.191.2
PEER_NS=krii-peer
PEER_IF=krii-peer0
PEER_ADDR=192.168.191.3
STATE=${KRII_TESTHOST_DIR:-/var/tmp/krii-testhost}

die() { echo "testhost: $*" >&2; exit 1; }

# The server's line that gives every session the daemon's options: the
# image's name, the log, and the further options of daemon-args.
setenv_line() {
  echo "SetEnv \"KRSD_ARGS=--map /dev/rdisk0s1s2=$STATE/rdisk0s1s2 --log /tmp/krsd.log${1:+ $1}\""
}
# This machine cannot hold the test host (exit 77: tests skip, with the reason).
unavailable() { echo "testhost: unavailable: $*" >&2; exit 77; }

need_tools() {
  [ "$(id -u)" -eq 0 ] || unavailable "needs root (network namespaces)"
  local t
  for t in ip unshare nsenter ssh-keygen ssh-agent ssh-add plink pscp; do
    command -v "$t" >/dev/null || unavailable "missing tool: $t"
  done
  [ -x /usr/sbin/sshd ] || unavailable "missing /usr/sbin/sshd (openssh-server)"
}

# The process that is PID 1 of the device (sshd), as the root namespace sees it.
device_pid() {
  [ -f "$STATE/init.pid" ] || return 1
  local p
  p=$(cat "$STATE/init.pid")
  [ -n "$p" ] && kill -0 "$p" 2>/dev/null || return 1
  # The child of unshare is the device's first process.
  local c
  c=$(cat "/proc/$p/task/$p/children" 2>/dev/null | awk '{print $1}')
  [ -n "$c" ] || return 1
  echo "$c"
}

down() {
  set +e
  if [ -f "$STATE/init.pid" ]; then
    local p
    p=$(cat "$STATE/init.pid")
    # unshare was started with --kill-child: its end takes the device's
    # PID namespace, and with it sshd, the daemon and every session.
    [ -n "$p" ] && kill -KILL "$p" 2>/dev/null
    for _ in $(seq 1 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
  fi
  if [ -f "$STATE/agent.pid" ]; then
    kill "$(cat "$STATE/agent.pid")" 2>/dev/null
  fi
  local n
  for n in "$NS" "$PEER_NS"; do
    if ip netns list 2>/dev/null | grep -qw "^$n"; then
      ip netns del "$n" 2>/dev/null
    fi
  done
  ip link show "$WS_IF" >/dev/null 2>&1 && ip link del "$WS_IF" 2>/dev/null
  if [ -d "$STATE" ]; then
    umount "$STATE/rdisk0s1s2" 2>/dev/null
    rm -rf "$STATE"
  fi
  set -e
  return 0
}

up() {
  local image="" password=no
  while [ $# -gt 0 ]; do
    case "$1" in
      --image) image=$(readlink -f "${2:?--image needs a file}"); shift 2 ;;
      --password) password=yes; shift ;;
      *) die "unknown option $1" ;;
    esac
  done
  need_tools
  [ -z "$image" ] || [ -f "$image" ] || die "no such image: $image"
  down
  # Never take over an address range the machine already uses.
  if ip -4 addr show | grep -q "inet 192\.168\.191\."; then
    unavailable "192.168.191.0/24 is already in use on this machine"
  fi

  UP_DONE=""
  trap 'if [ -z "$UP_DONE" ]; then echo "testhost: up failed, tearing down" >&2; down; fi' EXIT
  # PuTTY falls back to the account's own ~/.putty when $HOME has none:
  # give it one, so nothing of root's is read or written.
  mkdir -p "$STATE/home/.putty"
  chmod 700 "$STATE/home/.putty"
  chmod 700 "$STATE"
  if [ -z "$image" ]; then
    image="$STATE/sample.img"
    head -c $((4 * 1024 * 1024)) /dev/urandom > "$image"
  fi
  : > "$STATE/rdisk0s1s2"

  ssh-keygen -q -t ed25519 -N '' -C krii-testhost-host -f "$STATE/host_ed25519"
  ssh-keygen -q -t ed25519 -N '' -C krii-testhost-user -f "$STATE/user_ed25519"
  cp "$STATE/user_ed25519.pub" "$STATE/authorized_keys"
  # The device's own accounts file, bound over /etc/shadow inside it only.
  local root_login=prohibit-password
  if [ "$password" = yes ]; then
    root_login=yes
    (umask 077 && perl -e 'print "root:", crypt("tazmok", q($6$kriitesthost$)), ":19000:0:99999:7:::\n"' \
      >"$STATE/shadow")
  fi

  # The device lets a copy replace the daemon's executable while it runs;
  # Linux refuses to write a running executable (ETXTBSY). So that a second
  # deployment behaves as on the device, the file service moves a busy
  # /tmp/krsd aside (the running daemon keeps its file) before it starts.
  cat > "$STATE/sftp-server.sh" <<'EOF'
#!/bin/sh
f=/tmp/krsd
if [ -f "$f" ] && ! (: >> "$f") 2>/dev/null; then
  mv -f "$f" "/tmp/.krsd.busy.$$"
fi
exec /usr/lib/openssh/sftp-server "$@"
EOF
  chmod 755 "$STATE/sftp-server.sh"

  cat > "$STATE/sshd_config" <<EOF
ListenAddress $DEV_ADDR:22
HostKey $STATE/host_ed25519
AuthorizedKeysFile $STATE/authorized_keys
StrictModes no
PermitRootLogin $root_login
PubkeyAuthentication yes
PasswordAuthentication $password
KbdInteractiveAuthentication no
UsePAM no
PidFile none
Subsystem sftp $STATE/sftp-server.sh
$(setenv_line "")
LogLevel VERBOSE
EOF

  # Root in a container may still be refused namespaces.
  local err
  err=$(ip netns add "$NS" 2>&1) || unavailable "this machine cannot make network namespaces: $err"
  ip link add "$WS_IF" type veth peer name "$DEV_IF"
  ip link set "$DEV_IF" netns "$NS"
  ip addr add "$WS_ADDR/24" dev "$WS_IF"
  ip link set "$WS_IF" up
  ip -n "$NS" addr add "$DEV_ADDR/24" dev "$DEV_IF"
  ip -n "$NS" link set "$DEV_IF" up
  ip -n "$NS" link set lo up
  # The other machine; without it the device is still whole.
  if ! err=$({ ip netns add "$PEER_NS" &&
               ip link add "$PEER_IF" link "$WS_IF" type macvlan mode bridge &&
               ip link set "$PEER_IF" netns "$PEER_NS" &&
               ip -n "$PEER_NS" addr add "$PEER_ADDR/24" dev "$PEER_IF" &&
               ip -n "$PEER_NS" link set "$PEER_IF" up &&
               ip -n "$PEER_NS" link set lo up; } 2>&1); then
    echo "no second machine on the device's network ($PEER_ADDR): $err" > "$STATE/peer.unavailable"
  fi

  # The device: private /run (sshd's privilege separation directory) and
  # /tmp, the image bound onto the mapped name, sshd as its first process.
  ip netns exec "$NS" unshare --pid --fork --kill-child=SIGKILL --mount-proc --mount \
    /bin/sh -c "
      mount --bind '$image' '$STATE/rdisk0s1s2' &&
      { [ ! -f '$STATE/shadow' ] || mount --bind '$STATE/shadow' /etc/shadow; } &&
      mount -t tmpfs -o mode=755 tmpfs /run && mkdir -m 755 /run/sshd &&
      mount -t tmpfs -o mode=1777 tmpfs /tmp &&
      exec /usr/sbin/sshd -D -e -f '$STATE/sshd_config'" \
    >"$STATE/sshd.log" 2>&1 </dev/null &
  echo $! > "$STATE/init.pid"

  local ok=""
  for _ in $(seq 1 100); do
    if timeout 1 bash -c "exec 3<>/dev/tcp/$DEV_ADDR/22" 2>/dev/null; then
      ok=1
      break
    fi
    kill -0 "$(cat "$STATE/init.pid")" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$ok" ] || { cat "$STATE/sshd.log" >&2; die "sshd did not come up"; }

  # The agent that offers the key to PuTTY's tools.
  ssh-agent -a "$STATE/agent.sock" > "$STATE/agent.env"
  sed -n 's/^SSH_AGENT_PID=\([0-9]*\);.*/\1/p' "$STATE/agent.env" > "$STATE/agent.pid"
  SSH_AUTH_SOCK="$STATE/agent.sock" ssh-add -q "$STATE/user_ed25519"

  # Seed PuTTY's host-key cache under the temporary HOME: the first
  # connection without -batch asks to store the key; answer yes. It logs in
  # with the agent's key too, which proves the way the tools will go.
  if ! echo y | HOME="$STATE/home" SSH_AUTH_SOCK="$STATE/agent.sock" \
      plink -ssh -P 22 "root@$DEV_ADDR" true >"$STATE/seed.log" 2>&1 ||
     ! grep -qs "@22:$DEV_ADDR " "$STATE/home/.putty/sshhostkeys"; then
    cat "$STATE/seed.log" >&2
    die "plink cannot log in to the test host"
  fi
  # The device runs the ARMv7 daemon through the emulator.
  local emu
  if emu=$("$(dirname "$0")/arm-emulation.sh" 2>&1); then
    emu="ARMv7 programs run (emulated)"
  fi
  UP_DONE=1
  echo "testhost: device $DEV_ADDR up (state in $STATE); $emu"
}

case "${1:-}" in
  up) shift; up "$@" ;;
  down) down ;;
  env)
    [ -S "$STATE/agent.sock" ] || die "not up"
    echo "HOME=$STATE/home"
    echo "SSH_AUTH_SOCK=$STATE/agent.sock"
    ;;
  hostkey)
    # What the device's owner reads off the device, to compare with the
    # fingerprint the deployment shows for a key it does not know yet.
    [ -S "$STATE/agent.sock" ] || die "not up"
    ssh-keygen -l -E sha256 -f "$STATE/host_ed25519.pub" | awk '{ print $2 }'
    ;;
  image)
    [ -f "${2:-}" ] || die "image needs an existing file"
    file=$(readlink -f "$2")
    case "$file" in
      /tmp/*|/run/*) die "the device has a /tmp and /run of its own: put $file elsewhere" ;;
    esac
    # The device's mount namespace holds the binding; a daemon opens the
    # mapped name anew for every session.
    exec "$0" exec sh -c "umount '$STATE/rdisk0s1s2' && mount --bind '$file' '$STATE/rdisk0s1s2'"
    ;;
  daemon-args)
    shift
    case "$*" in *'"'*|*'\'*) die "daemon-args: no quotes or backslashes" ;; esac
    pid=$(device_pid) || die "not up"
    # sshd takes a changed configuration when it restarts on SIGHUP, with
    # the same pid; it is back once it says it listens once more.
    before=$(grep -c "Server listening on" "$STATE/sshd.log" || true)
    line=$(setenv_line "$*")
    while IFS= read -r l; do
      case "$l" in 'SetEnv "KRSD_ARGS='*) printf '%s\n' "$line" ;; *) printf '%s\n' "$l" ;; esac
    done <"$STATE/sshd_config" >"$STATE/sshd_config.new"
    mv -f "$STATE/sshd_config.new" "$STATE/sshd_config"
    kill -HUP "$pid"
    for _ in $(seq 1 100); do
      [ "$(grep -c "Server listening on" "$STATE/sshd.log" || true)" -gt "$before" ] && exit 0
      sleep 0.1
    done
    cat "$STATE/sshd.log" >&2
    die "sshd did not come back after taking the daemon's options"
    ;;
  peer)
    shift
    [ $# -gt 0 ] || die "peer needs a command"
    [ ! -f "$STATE/peer.unavailable" ] || unavailable "$(cat "$STATE/peer.unavailable")"
    ip netns list 2>/dev/null | grep -qw "^$PEER_NS" || die "not up"
    exec ip netns exec "$PEER_NS" "$@"
    ;;
  exec)
    shift
    [ $# -gt 0 ] || die "exec needs a command"
    pid=$(device_pid) || die "not up"
    exec nsenter --target "$pid" --net --pid --mount -- "$@"
    ;;
  *)
    sed -n '2,15p' "$0" >&2
    exit 2
    ;;
esac
