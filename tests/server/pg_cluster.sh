#!/usr/bin/env bash
# A throw-away PostgreSQL cluster for the kestod tests: 'start STATE' runs initdb and pg_ctl
# from Debian's server packages (as the unprivileged user nobody when run as root, since the
# server refuses to run as root), listening only on a Unix socket in a new temporary folder,
# and writes the socket folder, user name and tools folder to STATE; 'stop STATE' stops it and
# removes it. 'pause STATE' and 'resume STATE' stop and start the same cluster again, for
# tests of a database that goes away under a running server.
set -euo pipefail
action=${1:?start or stop}
state=${2:?state file}

run_as_owner() {
    if [[ $(id -u) -eq 0 ]]; then
        runuser -u nobody -- "$@"
    else
        "$@"
    fi
}

case "$action" in
start)
    bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
    if [[ -z "$bindir" || ! -x "$bindir/initdb" || ! -x "$bindir/pg_ctl" ]]; then
        echo "pg_cluster.sh: no PostgreSQL server under /usr/lib/postgresql/*/bin" \
            "(scripts/install-deps installs it)" >&2
        exit 1
    fi
    folder=$(mktemp -d /tmp/velquor-pg.XXXXXX)
    chmod 0755 "$folder"
    if [[ $(id -u) -eq 0 ]]; then chown nobody "$folder"; fi
    run_as_owner "$bindir/initdb" --pgdata="$folder/data" --username=kestod --auth=trust \
        --encoding=UTF8 --no-sync >"$folder/initdb.log" 2>&1 ||
        { cat "$folder/initdb.log" >&2; exit 1; }
    # No TCP at all; durability of the test cluster itself does not matter, kestod's
    # synchronous_commit still orders every reply after its commit.
    run_as_owner "$bindir/pg_ctl" --pgdata="$folder/data" --log="$folder/server.log" --wait \
        --options="-c listen_addresses='' -c unix_socket_directories='$folder' -c fsync=off -c max_connections=300" \
        start >/dev/null || { cat "$folder/server.log" >&2; exit 1; }
    printf '%s\n%s\n%s\n' "$folder" kestod "$bindir" >"$state"
    echo "pg_cluster.sh: PostgreSQL running on the socket in $folder"
    ;;
pause | resume)
    { read -r folder; read -r _; read -r bindir; } <"$state"
    if [[ "$action" == pause ]]; then
        run_as_owner "$bindir/pg_ctl" --pgdata="$folder/data" --mode=fast --wait stop >/dev/null
    else
        run_as_owner "$bindir/pg_ctl" --pgdata="$folder/data" --log="$folder/server.log" --wait \
            --options="-c listen_addresses='' -c unix_socket_directories='$folder' -c fsync=off -c max_connections=300" \
            start >/dev/null
    fi
    ;;
stop)
    [[ -f "$state" ]] || exit 0
    { read -r folder; read -r _; read -r bindir; } <"$state"
    run_as_owner "$bindir/pg_ctl" --pgdata="$folder/data" --mode=immediate --wait stop \
        >/dev/null 2>&1 || true
    rm -rf "$folder" "$state"
    ;;
*)
    echo "usage: pg_cluster.sh start|stop|pause|resume STATE" >&2
    exit 2
    ;;
esac
