#!/usr/bin/env bash
# tools/run from outside the environment, as a person at a desk reaches it:
# a sound server where desktops keep it (a PulseAudio of this test's own,
# null sink as default, listening in a runtime folder of its own) hears the
# program's stream and the tone it plays; with no server the program says so
# and plays into a private sink; the station's files land in the home, and
# what a stand-in older root held is moved there, nothing lost (a library
# whose journal was never written into it among them); a station whose home
# lies in a folder the environment has too (/var/lib, /srv) comes back by
# itself after a crash and saves when its tools/run is told to stop; a run
# killed from the top leaves nothing in /tmp; a FIFO, a folder or a
# read-only file at the lock's place keeps no start off the air; an account
# without privileges reaches the same, and is told of station data in an
# older root it cannot move. Run by tools/test.
set -euo pipefail
# The environment's own functions (where its root lies, what counts as
# station data); sourcing defines $top, the checkout.
. "$(dirname "${BASH_SOURCE[0]}")/../../tools/inroot"

tone_hz=1234
work=$(mktemp -d /tmp/ol-desk-XXXXXX)
chmod 755 "$work"
started=()
homes=()
key=$(ol_root_key)
real=$(ol_root_cache "$key")/root-$key
# Every call goes through a cache of this test's own holding a link to the
# environment: the station data of the system's roots is never moved into a
# home this test deletes.
mkdir "$work/cache"
ln -s "$real" "$work/cache/root-$key"
export ORCHIDLANTERN_ROOT_CACHE=$work/cache

# Ends PID and everything below it: a sandbox outlives its outer process.
kill_tree() {
    local child
    for child in $(ps -o pid= --ppid "$1"); do kill_tree "$child"; done
    kill "$1" 2>/dev/null || true
}

cleanup() {
    local p
    for p in "${started[@]}"; do kill_tree "$p"; done
    wait 2>/dev/null || true
    rm -rf "$work" "${homes[@]}"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Tries CMD every half second for up to SECONDS.
within() {
    local seconds=$1 i
    shift
    for ((i = 0; i < seconds * 2; i++)); do
        "$@" && return 0
        sleep 0.5
    done
    return 1
}

free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 30000))
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
    done
}

# A remote API request; prints the answer's body.
api() (
    exec 3<>"/dev/tcp/127.0.0.1/$1" || exit 1
    printf 'GET /?%s HTTP/1.0\r\n\r\n' "$2" >&3
    sed '1,/^\r$/d' <&3
) 2>/dev/null

# Runs CMD as the account of the scenario (as_user: empty or a setpriv).
as() { "${as_user[@]}" "$@"; }

# A PulseAudio of the test's own where a desktop runs it:
# RUNTIME/pulse/native, with the cookie in HOME, a null sink as default.
start_desk_server() {
    local home=$1 runtime=$2
    as env HOME="$home" "$top/tools/inroot" env XDG_RUNTIME_DIR="$runtime" \
        pulseaudio -n --daemonize=no --exit-idle-time=-1 --log-target="file:$runtime/pulse.log" \
        -L "module-native-protocol-unix socket=$runtime/pulse/native" \
        -L "module-null-sink sink_name=desk sink_properties=device.description=Desk rate=48000" \
        -L module-always-sink &
    started+=($!)
    within 30 pactl_on "$home" "unix:$runtime/pulse/native" info >/dev/null ||
        fail "the desk's PulseAudio did not start: $(cat "$runtime/pulse.log" 2>/dev/null)"
    pactl_on "$home" "unix:$runtime/pulse/native" set-default-sink desk
}

pactl_on() {
    local home=$1 server=$2
    shift 2
    as env HOME="$home" "$top/tools/inroot" pactl -s "$server" "$@" 2>/dev/null
}

# The program's stream among the server's sink inputs.
has_stream() {
    pactl_on "$1" "$2" list sink-inputs | grep -q 'application.process.binary = "orchidlantern"'
}

# The frequency on the sink's monitor: the mean period between rising zero
# crossings, leaving out gaps (a stall of a loaded machine is no tone).
monitor_hz() {
    local home=$1 server=$2 raw=$1/monitor.raw
    as env HOME="$home" "$top/tools/inroot" bash -c \
        'timeout 2 parec -s "$1" -d desk.monitor --raw --format=s16le --rate=48000 --channels=1 >"$2" || true' \
        _ "$server" "$raw"
    "$top/tools/inroot" python3 -c '
import array, statistics, sys
a = array.array("h")
a.frombytes(open(sys.argv[1], "rb").read())
rises = [i for i in range(1, len(a)) if a[i - 1] < 0 <= a[i] and max(a[i:i + 20]) > 300]
periods = [y - x for x, y in zip(rises, rises[1:])]
typical = statistics.median(periods) if len(periods) > 500 else 0
kept = [p for p in periods if abs(p - typical) < 0.2 * typical]
print(round(48000 * len(kept) / sum(kept)) if kept else 0)' "$raw"
}

# A process below PID called NAME.
child_named() {
    local pid=$1 name=$2 child
    for child in $(ps -o pid= --ppid "$pid"); do
        # The kernel keeps 15 characters of a name.
        if [ "$(cat "/proc/$child/comm" 2>/dev/null)" = "${name:0:15}" ]; then echo "$child"; return 0; fi
        child_named "$child" "$name" && return 0
    done
    return 1
}

# Starts ENV... tools/run ARGS in the background from the folder run_from
# (default: this one), its stderr into ERR; sets run_pid, tools/run's own
# process.
start_run() {
    local err=$1
    shift
    (cd "${run_from:-.}" &&
        exec "${as_user[@]}" env -u DISPLAY -u WAYLAND_DISPLAY -u PULSE_SERVER -u ORCHIDLANTERN_IN_ROOT "$@" 2>"$err") &
    run_pid=$!
    started+=("$run_pid")
}

# Waits up to SECONDS for the run to end; sets status.
run_ends_within() {
    local seconds=$1
    within "$seconds" eval '! kill -0 "$run_pid" 2>/dev/null' || return 1
    status=0
    wait "$run_pid" || status=$?
}

# Ends the program as a system would (SIGTERM to the program alone), and
# wants the run to end well, the program not started again.
stop_run() {
    local name=$1 program status
    program=$(child_named "$run_pid" "$name") || fail "$name is not running"
    kill -TERM "$program"
    run_ends_within 60 || fail "tools/run did not end after SIGTERM to $name"
    [ "$status" -eq 0 ] || fail "tools/run ended with $status after SIGTERM"
}

stationdata_file() {
    mkdir -p "$(dirname "$1")"
    printf '%s' "$2" >"$1"
}

# Plays the tone through the API and wants the server to hear it.
play_and_hear() {
    local home=$1 server=$2 port=$3 hz
    within 300 api "$port" cmd=play | grep -q OK || fail "the remote API did not answer on $port"
    within 30 has_stream "$home" "$server" || fail "$server lists no stream of the program"
    hz=$(monitor_hz "$home" "$server")
    [ $((hz - tone_hz)) -le 5 ] && [ $((tone_hz - hz)) -le 5 ] ||
        fail "the monitor of $server carries $hz Hz, not the tone's $tone_hz Hz"
}

settings_with_api() {
    stationdata_file "$1" "$(printf '[api]\nenabled=true\nport=%s\n' "$2")"
}

make_tone() {
    "$top/tools/inroot" ffmpeg -nostdin -loglevel error -f lavfi \
        -i "sine=frequency=$tone_hz:sample_rate=48000:duration=120" -ac 2 "$work/tone.wav"
    chmod 644 "$work/tone.wav"
}

# A library.db of the program's own making in FOLDER, with COUNT tracks
# titled "NAME n"; with "open" its writer ends without closing it, as a
# program that crashed does, and the tracks are only in library.db-wal.
library_with() {
    local folder=$1 name=$2 count=$3 open=${4:-} scratch
    scratch=$(mktemp -d "$work/library-XXXXXX")
    HOME=$scratch XDG_CONFIG_HOME=$scratch/.config QT_QPA_PLATFORM=offscreen \
        "$top/tools/inroot" "${OL_BUILD_DIR:-$top/build}/tests/ol_librarypeer" Station </dev/null >/dev/null
    mkdir -p "$folder"
    mv "$scratch/.config/Orchidlantern/Orchidlantern/library.db" "$folder/"
    "$top/tools/inroot" python3 -c '
import os, sqlite3, sys
db, name, count, open_ = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4] == "open"
c = sqlite3.connect(db)
c.execute("PRAGMA wal_autocheckpoint=0")
c.execute("INSERT INTO libraries(name) VALUES(?)", (name,))
c.executemany("INSERT INTO tracks(library, filepath, artist, title) VALUES(?, ?, ?, ?)",
              [(name, "/music/%s %d.mp3" % (name, i), name, "%s %d" % (name, i)) for i in range(count)])
c.commit()
if open_:
    os._exit(0)
c.close()' "$folder/library.db" "$name" "$count" "$open"
}

tracks_in() {
    "$top/tools/inroot" sqlite3 "$1" "SELECT COUNT(*) FROM tracks WHERE title LIKE '$2 %'" 2>&1
}

# -- the desk, with a stand-in older root holding the station's data -------
desk_and_data() {
    local home=$work/home runtime=$work/runtime cache=$work/older port standin
    local -a as_user=()
    mkdir -p "$home" "$runtime" "$cache"
    chmod 700 "$runtime"
    ln -s "$real" "$cache/root-$key"
    standin=$cache/root-0123456789abcdef
    port=$(free_port)
    settings_with_api "$standin/root/.config/Orchidlantern/Orchidlantern.conf" "$port"
    stationdata_file "$standin/root/.config/Orchidlantern/Orchidlantern/events.json" '[]'
    stationdata_file "$standin/root/Music/Orchidlantern/VoiceTracks/take 1.mp3" 'older take'
    stationdata_file "$standin/root/Music/Orchidlantern_2024-05-01_10-00-00.mp3" 'recording'
    touch -d '-2 days' "$standin/root/Music/Orchidlantern/VoiceTracks/take 1.mp3"
    stationdata_file "$home/Music/Orchidlantern/VoiceTracks/take 1.mp3" 'newer take'
    stationdata_file "$home/.config/Orchidlantern/Orchidlantern/events.json" '[ ]'
    touch -d '-1 day' "$home/.config/Orchidlantern/Orchidlantern/events.json"
    # The older root's library kept its last tracks in its journal; the
    # home's is newer.
    library_with "$standin/root/.config/Orchidlantern/Orchidlantern" Older 40 open
    touch -d '-2 days' "$standin/root/.config/Orchidlantern/Orchidlantern"/library.db*
    library_with "$home/.config/Orchidlantern/Orchidlantern" Newer 30
    touch "$standin/.complete"
    touch -d '-3 days' "$standin/.complete"
    start_desk_server "$home" "$runtime"

    start_run "$work/desk.err" HOME="$home" XDG_RUNTIME_DIR="$runtime" ORCHIDLANTERN_ROOT_CACHE="$cache" \
        "$top/tools/run" "$work/tone.wav"
    play_and_hear "$home" "unix:$runtime/pulse/native" "$port"
    stop_run orchidlantern

    grep -qF "moving station data $standin/root/.config/Orchidlantern -> $home/.config/Orchidlantern" \
        "$work/desk.err" || fail "no line told where the settings went: $(cat "$work/desk.err")"
    [ ! -e "$standin" ] || fail "the older root was kept though its data was moved"
    [ -e "$real/.complete" ] || fail "the environment in use went"
    grep -q '^geometry=' "$home/.config/Orchidlantern/Orchidlantern.conf" ||
        fail "the program kept no settings in the home"
    local library=$home/.config/Orchidlantern/Orchidlantern/library.db
    [ "$(tracks_in "$library" Newer)" = 30 ] && [ "$(tracks_in "$library.older" Older)" = 40 ] ||
        fail "a library lost tracks: the home's holds $(tracks_in "$library" Newer) of 30," \
            "the older root's $(tracks_in "$library.older" Older) of 40"
    [ "$(cat "$home/.config/Orchidlantern/Orchidlantern/events.json.older")" = '[ ]' ] ||
        fail "the home's older events were not kept beside the moved ones"
    [ "$(cat "$home/Music/Orchidlantern/VoiceTracks/take 1.mp3")" = 'newer take' ] &&
        [ "$(cat "$home/Music/Orchidlantern/VoiceTracks/take 1.mp3.older")" = 'older take' ] ||
        fail "a voice track of the same name was overwritten"
    [ "$(cat "$home/Music/Orchidlantern_2024-05-01_10-00-00.mp3")" = 'recording' ] ||
        fail "the recording was not moved"

    # The second program, from its own command, on the same home.
    start_run "$work/library.err" HOME="$home" XDG_RUNTIME_DIR="$runtime" "$top/tools/run" --library-manager
    within 120 opened "$home/.config/Orchidlantern/Orchidlantern/library.db" orchidlantern-library ||
        fail "the library manager did not open the home's library.db: $(cat "$work/library.err")"
    kill_tree "$run_pid"
    wait "$run_pid" || true
}

# Whether the process NAME below run_pid holds FILE open.
opened() {
    local file=$1 name=$2 program
    program=$(child_named "$run_pid" "$name") || return 1
    find "/proc/$program/fd" -lname "$file" 2>/dev/null | grep -q .
}

# -- no sound server: the fallback, said in one line -----------------------
no_server() {
    local home=$work/home2 runtime=$work/runtime2 port line server
    local -a as_user=()
    mkdir -p "$home" "$runtime"
    chmod 700 "$runtime"
    port=$(free_port)
    settings_with_api "$home/.config/Orchidlantern/Orchidlantern.conf" "$port"
    start_run "$work/none.err" HOME="$home" XDG_RUNTIME_DIR="$runtime" "$top/tools/run" "$work/tone.wav"
    within 300 api "$port" cmd=play | grep -q OK || fail "the remote API did not answer on $port"
    line=$(grep "no sound server" "$work/none.err") || fail "no line said the sound server was missing"
    [ "$(grep -c "no sound server" "$work/none.err")" -eq 1 ] || fail "more than one line: $line"
    case "$line" in *"unix:$runtime/pulse/native"*"start PulseAudio or PipeWire"*) ;;
        *) fail "the line names neither the server sought nor how to reach one: $line" ;; esac
    server=$(sed -n 's/.*private null sink (\([^)]*\)).*/\1/p' <<<"$line")
    within 30 has_stream "$home" "$server" || fail "the private sink $server has no stream of the program"
    stop_run orchidlantern
}

# Whether the program on PORT plays.
playing() {
    api "$1" action=playbackinfo | grep -q '<State>playing</State>'
}

# A home for the account of the scenario, its remote API on PORT; no sound
# server in its runtime folder.
station_home() {
    local home=$1 port=$2
    settings_with_api "$home/.config/Orchidlantern/Orchidlantern.conf" "$port"
    mkdir -p -m 700 "$home/runtime"
    if [ "${#as_user[@]}" -gt 0 ]; then chown -R "$uid:$uid" "$home"; fi
}

# Whether the program on PORT took the play command, or its run has ended.
played_or_ended() {
    api "$1" cmd=play | grep -q OK || ! kill -0 "$run_pid" 2>/dev/null
}

# Starts tools/run in HOME with ENV... and waits until it plays.
run_and_play() {
    local err=$1 home=$2
    shift 2
    start_run "$err" HOME="$home" XDG_RUNTIME_DIR="$home/runtime" "$@" "$top/tools/run" "${run_file:-$work/tone.wav}"
    within 300 played_or_ended "$port" && kill -0 "$run_pid" 2>/dev/null ||
        fail "the remote API did not answer on $port: $(cat "$err")"
    within 30 playing "$port" || fail "nothing plays: $(cat "$err")"
}

# The private sound server a run's stderr names.
private_server() {
    sed -n 's/.*private null sink (unix:\(.*\)\/native).*/\1/p' "$1"
}

# Whether no process has TEXT in its command line.
none_with() {
    ! pgrep -f "$1" >/dev/null
}

# A program below run_pid other than PID.
another_program() {
    local program
    program=$(child_named "$run_pid" orchidlantern) && [ "$program" != "$1" ]
}

# -- a station under HOME: back after a crash, saved at a stop -------------
# As a service account runs it: the home (and the runtime folder in it) in
# a folder the environment has too, the file named relative to a folder
# the environment has not. Killed by SIGSEGV, the program comes back by
# itself and plays, its file not added again; a copy beside it is refused,
# naming it by the number this side knows, and is not started again;
# SIGTERM to tools/run's own process, as a service manager stops a
# service, saves and ends the run.
station_under() {
    local home=$1 port program status
    local run_from=${1%/*} run_file=${1##*/}/tone.wav
    port=$(free_port)
    cp "$work/tone.wav" "$home/"
    station_home "$home" "$port"
    printf '\n[playback]\nresumeOnStart=true\n' >>"$home/.config/Orchidlantern/Orchidlantern.conf"
    run_and_play "$home/run.err" "$home"
    api "$port" action=playbackinfo | grep -qF "<File>$home/tone.wav</File>" ||
        fail "the program did not get $run_file from $run_from as $home/tone.wav"
    # Long enough on air to have stored the row, as crashes come.
    within 60 grep -qsF "$home/tone.wav" "$home/.config/Orchidlantern/Orchidlantern/playlists.json" ||
        fail "the playlist was not stored"
    program=$(child_named "$run_pid" orchidlantern) || fail "the program is not running"
    kill -SEGV "$program"
    within 60 another_program "$program" || fail "the program was not started again: $(cat "$home/run.err")"
    grep -q "ended by SIGSEGV (status 139); starting it again" "$home/run.err" ||
        fail "no line said how the program ended: $(cat "$home/run.err")"
    within 60 playing "$port" || fail "the program started again does not play: $(cat "$home/run.err")"
    local count
    within 10 eval 'count=$(api "$port" action=playbackinfo | grep -o "<PlaylistCount>[1-9][0-9]*")' &&
        [ "$count" = "<PlaylistCount>1" ] || fail "the playlist after the restart: ${count#*>} rows, not 1"

    local first=$run_pid
    program=$(child_named "$run_pid" orchidlantern)
    start_run "$home/second.err" HOME="$home" XDG_RUNTIME_DIR="$home/runtime" "$top/tools/run"
    run_ends_within 120 || fail "a second copy was started again and again: $(cat "$home/second.err")"
    [ "$status" -eq 3 ] && grep -q "already running for this user (process $program);" "$home/second.err" ||
        fail "a copy beside it was not refused naming process $program (status $status): $(cat "$home/second.err")"

    run_pid=$first
    kill -TERM "$run_pid"
    run_ends_within 60 || fail "SIGTERM to tools/run did not end it"
    [ "$status" -eq 0 ] && grep -q "Quitting on signal 15" "$home/run.err" ||
        fail "SIGTERM to tools/run: status $status, the program did not quit: $(tail -n 5 "$home/run.err")"
}

# Makes a home in the host's folder FOLDER for the scenario's account, with
# a runtime folder inside; sets made_home.
home_under() {
    made_home=$(mktemp -d "$1/ol-desk-XXXXXX")
    homes+=("$made_home")
    chmod 755 "$made_home"
    mkdir -m 700 "$made_home/runtime"
    if [ "${#as_user[@]}" -gt 0 ]; then chown -R "$uid:$uid" "$made_home"; fi
}

# Homes in folders the environment has too, and the runtime folder in them:
# each is written inside, and the command starts in the caller's folder.
homes_anywhere() {
    local folder home said
    for folder in /var/lib /srv /opt /var/tmp; do
        [ -d "$folder" ] || continue
        home_under "$folder"
        home=$made_home
        said=$(cd "$home" && as env HOME="$home" XDG_RUNTIME_DIR="$home/runtime" "$top/tools/inroot" --desk \
            sh -c 'touch "$HOME/home" "$XDG_RUNTIME_DIR/runtime" && pwd' 2>&1) || true
        [ "$said" = "$home" ] && [ -e "$home/home" ] && [ -e "$home/runtime/runtime" ] ||
            fail "a home in $folder was not written, or the start folder was not it: $said"
    done
}

# -- killed from the top: nothing of the run is left ------------------------
# tools/run's own process killed (as a service manager's last resort does):
# the program and its sound server go with it, and what the run kept in
# /tmp is gone by the next start. SIGTERM to the program then ends the run
# for good.
killed_from_top() {
    local home=$1 port program server
    port=$(free_port)
    station_home "$home" "$port"
    run_and_play "$home/top.err" "$home"
    program=$(child_named "$run_pid" orchidlantern) || fail "the program is not running"
    server=$(private_server "$home/top.err")
    [ -n "$server" ] || fail "no private sound server was named: $(cat "$home/top.err")"
    kill -KILL "$run_pid"
    { wait "$run_pid"; } 2>/dev/null || true
    within 10 none_with "$server" && within 10 eval '! kill -0 "$program" 2>/dev/null' ||
        fail "the program or its sound server outlived the command that started them"
    run_and_play "$home/next.err" "$home"
    [ ! -e "$server" ] || fail "$server, left by the run killed from the top, is still there"
    stop_run orchidlantern
}

# -- something else at the lock's place: the start goes on, and says so -----
lock_places() {
    local kind home lock port
    for kind in FIFO folder read-only; do
        home=$work/lock-$kind
        lock=$home/.config/Orchidlantern/Orchidlantern/playout.lock
        port=$(free_port)
        mkdir -p "$(dirname "$lock")"
        station_home "$home" "$port"
        case "$kind" in
            FIFO) mkfifo "$lock" ;;
            folder) mkdir "$lock" ;;
            # What a copy that could not clean up left; the lock is had all the same.
            read-only) printf '999999\n' >"$lock" && chmod 444 "$lock" ;;
        esac
        if [ "${#as_user[@]}" -gt 0 ]; then chown -h "$uid:$uid" "$lock"; fi
        run_and_play "$home/run.err" "$home"
        case "$kind" in
            read-only) ! grep -q "lock file" "$home/run.err" || fail "$(grep "lock file" "$home/run.err")" ;;
            *) grep -qF "Could not use the lock file $lock (is a $kind)" "$home/run.err" ||
                fail "no line named the $kind at the lock's place: $(cat "$home/run.err")" ;;
        esac
        stop_run orchidlantern
    done
}

# -- an account without privileges -----------------------------------------
unprivileged() {
    local uid=64123 home=$work/uhome runtime=$work/uruntime port
    while getent passwd "$uid" >/dev/null; do uid=$((uid + 1)); done
    local -a as_user=(setpriv "--reuid=$uid" "--regid=$uid" --clear-groups)
    mkdir -p "$home" "$runtime"
    chmod 700 "$runtime"
    port=$(free_port)
    settings_with_api "$home/.config/Orchidlantern/Orchidlantern.conf" "$port"
    chown -R "$uid:$uid" "$home" "$runtime"
    start_desk_server "$home" "$runtime"
    # The environment where every account finds it, in the system's cache.
    start_run "$work/user.err" HOME="$home" XDG_RUNTIME_DIR="$runtime" ORCHIDLANTERN_ROOT_CACHE= \
        "$top/tools/run" "$work/tone.wav"
    play_and_hear "$home" "unix:$runtime/pulse/native" "$port"
    stop_run orchidlantern
    [ -s "$home/.config/Orchidlantern/Orchidlantern/library.db" ] ||
        fail "no library.db in the unprivileged account's home: $(cat "$work/user.err")"
    home_under "$([ -d /srv ] && echo /srv || echo /var/lib)"
    station_under "$made_home"
    homes_anywhere
    killed_from_top "$work/ucrash"
    shared_caches "$home"
    lock_places
    suite_as_account "$home"
}

# -- caches the account shares ---------------------------------------------
# One it cannot write, where an older root holds station data it cannot
# look into: a line says where it is and what moves it. One every account
# may write (sticky), where another account made the lock: tidied all the
# same, an older root of the account's own removed, and where one cannot
# be, the system's reason said.
shared_caches() {
    local home=$1 shared=$work/shared sticky=$work/sticky standin own stuck said
    mkdir "$shared" "$sticky"
    chmod 1777 "$sticky"
    ln -s "$real" "$shared/root-$key"
    ln -s "$real" "$sticky/root-$key"
    standin=$shared/root-0123456789abcdef
    stationdata_file "$standin/root/.config/Orchidlantern/Orchidlantern/events.json" '[]'
    chmod 700 "$standin/root"
    touch "$standin/.complete" "$sticky/.lock"
    own=$sticky/root-0123456789abcdef
    stuck=$sticky/root-fedcba9876543210
    as mkdir -p "$own/usr" "$stuck/usr"
    as touch -d '-3 days' "$own/.complete" "$stuck/.complete"
    stationdata_file "$stuck/usr/root's/file" ''
    said=$(as env HOME="$home" ORCHIDLANTERN_ROOT_CACHE="$shared" "$top/tools/inroot" true 2>&1)
    grep -qF "$standin/root holds folders this account cannot look into" <<<"$said" &&
        grep -qF "sudo $top/tools/inroot true" <<<"$said" ||
        fail "no line said where the older root's station data is and what moves it: $said"
    said=$(as env HOME="$home" ORCHIDLANTERN_ROOT_CACHE="$sticky" "$top/tools/inroot" true 2>&1)
    [ ! -e "$own" ] && [ ! -e "$own.removing" ] ||
        fail "the account's older root in a shared cache whose lock is another's stayed: $said"
    grep -qF "could not remove $stuck.removing: cannot delete" <<<"$said" && grep -q "Permission denied$" <<<"$said" ||
        fail "the line on a root that could not be removed gives no reason: $said"
}

# A handful of the suite's tests as the account, on the build made for
# root: the ones that once met another account's files in the way.
suite_as_account() {
    local home=$1 build=${OL_BUILD_DIR:-$top/build}
    as env HOME="$home" QT_QPA_PLATFORM=offscreen ORCHIDLANTERN_SOURCE_DIR="$top" ORCHIDLANTERN_BINARY_DIR="$build" \
        "$top/tools/inroot" bash -c '
            . "$1/tools/audio-env" && ol_start_audio && trap ol_stop_audio EXIT || exit 1
            shift
            for test in "$@"; do
                log=$HOME/${test##*/}.log
                "$test" >"$log" 2>&1 || { echo "$test failed:"; grep -E "FAIL|Loc:" "$log"; exit 1; }
            done' _ "$top" "$build"/tests/mainwindow/tst_{layout,windowfit,startup} "$build/tests/tst_audioinput" ||
        fail "a test of the suite failed for an account without privileges"
}

make_tone
desk_and_data
no_server
as_user=()
killed_from_top "$work/crash"
# Folders of the host's own: root's, and an account's made by root.
if [ "$(id -u)" -eq 0 ]; then
    home_under /var/lib
    station_under "$made_home"
    homes_anywhere
    unprivileged
fi
echo "tst_deskrun: the desk, the fallback and the station's data as expected"
