# What the curl scenarios of the web interface share; sourced by them, with $scenario naming the
# scenario and the starter program as the script's first argument (default build/asan/bin/starter).
# Starts the agent as "make run" does (tools/run_agent.py: the service host in the console and
# the simulator, on a fresh machine under /tmp, its web server on a free port) and gives: $root,
# $data, $agent, $sim, $password; check, json, same; call (status in $status, body in $body, sent
# with $cookie), remote, sim_requests, wait_for. The agent, the simulator and the machine go when
# the script exits (KEEP=1 keeps the machine folder).
set -u
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
program=${1:-$source_dir/build/asan/bin/starter}
root=$(mktemp -d "/tmp/tovel-$scenario-XXXXXX")
export TOVEL_ROOT=$root
data=$root/drives/c/ProgramData/morvask/Tovel
mkdir -p "$data"
echo "ports 127.0.0.1:0" >"$data/mongoose.conf"
failures=0
launcher=
notify=

finish() {
    [ -n "$notify" ] && kill "$notify" 2>/dev/null
    if [ -n "$launcher" ]; then
        kill -TERM "$launcher" 2>/dev/null
        wait "$launcher" 2>/dev/null
    fi
    if [ "${KEEP:-0}" = 1 ]; then echo "machine kept in $root"; else rm -rf "$root"; fi
}
trap finish EXIT

check() {  # check "what" command...: runs the command, prints ok or FAIL
    local what=$1
    shift
    if "$@"; then
        echo "ok    $what"
    else
        echo "FAIL  $what"
        failures=$((failures + 1))
    fi
}
json() {  # json 'python expression of v' < text: prints the value
    python3 -c 'import json,sys; v=json.load(sys.stdin); r=('"$1"'); print(r if isinstance(r,str) else json.dumps(r))'
}
same() { [ "$1" = "$2" ] || { echo "      got:      $1"; echo "      expected: $2"; false; }; }

python3 "$source_dir/tools/run_agent.py" --program "$program" --conf "$source_dir/mongoose.conf" \
    >"$root/run.out" 2>&1 &
launcher=$!
for _ in $(seq 600); do grep -q "^Web interface: " "$root/run.out" && break; sleep 0.1; done
agent=$(sed -n 's|^Web interface: \(http://[^ ]*\)/$|\1|p' "$root/run.out" | head -1)
sim=$(sed -n 's|^Simulator of the remote service: \(http://127.0.0.1:[0-9]*\)/.*|\1|p' "$root/run.out")
password=$(sed -n 's|^Account: demo, password \([0-9a-f]*\)$|\1|p' "$root/run.out")
if [ -z "$agent" ] || [ -z "$sim" ]; then
    echo "FAIL  the agent did not start:"
    cat "$root/run.out"
    exit 1
fi
echo "agent $agent, simulator $sim, machine $root"

# curl of the agent: status on the first line of $out's head, body in $body.
call() {  # call METHOD PATH [JSON body]
    local method=$1 path=$2
    shift 2
    local args=(-s -o "$root/body" -w '%{http_code}' -X "$method" -H "Cookie: $cookie")
    [ $# -gt 0 ] && args+=(-H 'Content-Type: application/json' --data-binary "$1")
    status=$(curl "${args[@]}" "$agent$path")
    body=$(cat "$root/body")
}
remote() {  # remote PATH JSON: the simulator's own answer, on the session the agent uses
    curl -s -X POST -H "Cookie: $cookie" --data-binary "$2" "$sim/tovel/WebServer/$1"
}
sim_requests() {
    curl -s "$sim/_sim/requests?kind=$1" | json 'len(v["requests"])'
}
wait_for() {  # wait_for PATH PYTHON-CONDITION-ON-v: polls a JSON answer of the agent (60 s)
    for _ in $(seq 600); do
        call GET "$1"
        [ "$status" = 200 ] && [ "$(printf '%s' "$body" | json "bool($2)")" = true ] && return 0
        sleep 0.1
    done
    echo "      last answer: $status $body"
    return 1
}
