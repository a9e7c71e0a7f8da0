#!/bin/sh
# Starts the storage servers that orvane-publish push sends to, on 127.0.0.6: Debian's OpenSSH server
# (SFTP, port 2222, with a throwaway host key, a throwaway client key and a configuration of its own)
# and s3rver (an S3-compatible server, port 4568, bucket "orvane"), with STATE_DIR/rclone.conf naming
# them "sftp-test:" and "s3-test:". stop.sh STATE_DIR stops them.
# Usage: start-storage.sh STATE_DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
state=$1
"$here/stop.sh" "$state"
rm -rf "$state"
mkdir -p "$state/s3"
ssh-keygen -q -t ed25519 -N '' -f "$state/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$state/client_key"
cp "$state/client_key.pub" "$state/authorized_keys"
echo "[127.0.0.6]:2222 $(cut -d' ' -f1-2 "$state/host_key.pub")" > "$state/known_hosts"
cat > "$state/sshd_config" <<CONFIG
ListenAddress 127.0.0.6:2222
HostKey $state/host_key
PidFile $state/sshd.pid
AuthorizedKeysFile $state/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
# As an origin's SFTP account would be set up: files the web server can read.
Subsystem sftp internal-sftp -u 022
CONFIG
mkdir -p /run/sshd  # its privilege separation folder, which Debian's service would make
/usr/sbin/sshd -f "$state/sshd_config" -E "$state/sshd.log"
# Installed by tools/install-deps.sh tests.
setsid node /opt/orvane-test-tools/s3rver-3.7.1/node_modules/.bin/s3rver -d "$state/s3" -a 127.0.0.6 -p 4568 \
  --configure-bucket orvane --silent </dev/null >"$state/s3rver.out" 2>&1 &
echo $! > "$state/s3rver.pid"
cat > "$state/rclone.conf" <<CONFIG
[sftp-test]
type = sftp
host = 127.0.0.6
port = 2222
user = root
key_file = $state/client_key
known_hosts_file = $state/known_hosts
shell_type = unix

[s3-test]
type = s3
provider = Other
access_key_id = S3RVER
secret_access_key = S3RVER
endpoint = http://127.0.0.6:4568
CONFIG
for remote in sftp-test:/ s3-test:orvane; do
  tries=0
  until timeout 10 env -u AWS_CA_BUNDLE rclone --config "$state/rclone.conf" lsf --max-depth 1 "$remote" >/dev/null 2>&1; do
    tries=$((tries + 1))
    if [ $tries -ge 50 ]; then
      echo "storage servers did not come up ($remote)" >&2
      cat "$state/sshd.log" "$state/s3rver.out" >&2 || true
      "$here/stop.sh" "$state"
      exit 1
    fi
    sleep 0.2
  done
done
echo "storage servers ready in $state"
