#!/bin/sh
# The multi-machine recipes of the README and the manual page, as printed,
# against a real OpenSSH server this test starts on 127.0.0.1: GNU parallel
# logs in with a key made for the test, copies each file over with --trc
# into a working directory of its own (six jobs at once on the one server),
# runs tessvane there, and copies the result back.  Every good file is what
# a single run makes of it, the broken one is unchanged, parallel exits with
# 1, the job log gives every run to one of the two logins, and the remote
# copies and their working directories are gone.
# Usage: parallel_ssh_recipe_test.sh SOURCE_DIR TESSVANE MAKE_SAMPLE_PAGE
set -u
. "$(dirname "$0")/common.sh"
require parallel:parallel sshd:openssh-server ssh:openssh-client ssh-keygen:openssh-client \
  rsync:rsync timeout:coreutils

# The "remote machine": its own tessvane and home directory, so that this
# run's tessvane is found only there and the copies land in the scratch
# directory.  As root, sshd wants its privilege separation directory.
ssh=$work/ssh remote_home=$work/remote-home
mkdir "$ssh" "$remote_home" "$work/remote-bin"
mv "$work/bin/tessvane" "$work/remote-bin/tessvane"
[ "$(id -u)" -ne 0 ] || mkdir -p /run/sshd
ssh-keygen -q -t ed25519 -N '' -C tessvane-test-host -f "$ssh/host_key" || fail "ssh-keygen failed"
ssh-keygen -q -t ed25519 -N '' -C tessvane-test-user -f "$ssh/user_key" || fail "ssh-keygen failed"
cp "$ssh/user_key.pub" "$ssh/authorized_keys"
user=$(id -un)

# write_configs PORT: the server's configuration (loopback only, this key
# only) and the client's, with two names for the server: node1 and node2.
write_configs() {
  cat >"$ssh/sshd_config" <<EOF
ListenAddress 127.0.0.1
Port $1
HostKey $ssh/host_key
AuthorizedKeysFile $ssh/authorized_keys
PidFile none
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
LogLevel VERBOSE
SetEnv HOME=$remote_home PATH=$work/remote-bin:/usr/bin:/bin
ForceCommand cd "\$HOME" && exec "\$SHELL" -c "\$SSH_ORIGINAL_COMMAND"
EOF
  echo "[127.0.0.1]:$1 $(cut -d ' ' -f 1,2 "$ssh/host_key.pub")" >"$ssh/known_hosts"
  cat >"$ssh/ssh_config" <<EOF
Host node1 node2
  HostName 127.0.0.1
  Port $1
  User $user
  IdentityFile $ssh/user_key
  IdentitiesOnly yes
  UserKnownHostsFile $ssh/known_hosts
  GlobalKnownHostsFile /dev/null
  StrictHostKeyChecking yes
  BatchMode yes
  LogLevel ERROR
  ControlMaster auto
  ControlPath $ssh/control-%n
  ControlPersist 60
EOF
}

# start_sshd: starts sshd on a free unprivileged port, trying a few; the
# timeout bounds its life should this script be killed outright.
start_sshd() {
  for attempt in 1 2 3 4 5 6; do
    port=$((20000 + ($$ * 13 + attempt * 7919) % 40000))
    write_configs "$port"
    timeout 300 /usr/sbin/sshd -D -e -f "$ssh/sshd_config" 2>"$ssh/sshd.log" &
    sshd_pid=$!
    for _ in $(seq 50); do
      grep -q 'Server listening' "$ssh/sshd.log" && return 0
      kill -0 "$sshd_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$sshd_pid" 2>/dev/null
    wait "$sshd_pid" 2>/dev/null
  done
  fail "sshd did not start: $(cat "$ssh/sshd.log")"
}

stop_services() {
  for node in node1 node2; do
    ssh -F "$ssh/ssh_config" -O exit "$node" 2>/dev/null
  done
  [ -z "${sshd_pid-}" ] || { kill "$sshd_pid" 2>/dev/null; wait "$sshd_pid" 2>/dev/null; }
}

start_sshd
ssh -F "$ssh/ssh_config" node1 'command -v tessvane' >/dev/null ||
  fail "cannot log in over ssh: $(cat "$ssh/sshd.log")"
# Two logins to the server of the test, three jobs at a time each: six jobs
# share the one remote home directory, as several jobs on one machine do.
printf '# two logins to the server of the test\n' >"$work/run/nodes"
for node in node1 node2; do
  printf '3/ssh -F %s %s\n' "$ssh/ssh_config" "$node" >>"$work/run/nodes"
done
# Twelve more pages in the directories the other pages are in, so that jobs
# overlap in each of them, finishing while others are still copying in.
for n in $(seq 6 17); do
  eval "name_$n=\"scans/$([ $((n % 2)) = 0 ] && echo 'sub dir/')page $n.tif\""
  good_pages="$good_pages $n"
done
make_scans
tif_pages=$(find "$work/orig/scans" -type f -name '*.tif' -printf x | wc -c)

# run_remote WHAT RECIPE: the recipe on a fresh tree exits with 1 (the
# broken file) and clears the tree, leaving nothing on the remote side.
run_remote() {
  reset_scans
  run_recipe "$2" >/dev/null 2>"$work/errors"
  status=$?
  [ "$status" -eq 1 ] || fail "$1 exited with $status, not 1: $(cat "$work/errors")"
  check_scans "$1" tif-only
  left=$(find "$remote_home" -mindepth 1)
  [ -z "$left" ] || fail "$1 left remote copies or working directories: $left"
}

readme_recipe '--sshloginfile'
run_remote "the README's multi-machine recipe" "$recipe"
awk -F '\t' 'NR > 1 { print $2 }' "$work/run/tessvane.log" | sort | uniq -c >"$work/hosts"
[ "$(awk '{ n += $1 } END { print n }' "$work/hosts")" = "$tif_pages" ] && [ "$(wc -l <"$work/hosts")" = 2 ] &&
  [ "$(grep -c "^ *[0-9]* ssh -F $ssh/ssh_config node[12]\$" "$work/hosts")" = 2 ] ||
  fail "the job log does not give all $tif_pages runs to the two logins: $(cat "$work/hosts")"
grep -q "Accepted publickey for $user from 127.0.0.1" "$ssh/sshd.log" ||
  fail "sshd logged no login: $(cat "$ssh/sshd.log")"

man_recipe '--sshloginfile'
run_remote "the manual page's multi-machine recipe" "$recipe"
