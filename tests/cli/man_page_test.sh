#!/usr/bin/env bash
# The built manual page renders through man without a warning, has a section for every command
# that the help pages list, and that section holds every argument and option of the command as its
# --help shows it; EXIT STATUS lists each status kro exits with; EXAMPLES holds every command of the
# README's command block. Commands and options are read from the binary's help pages, so a new one
# that the page lacks fails here.
set -euo pipefail
kro=${1:?path to the kro binary}
page=${2:?path to kro.1}
readme=${3:?path to README.md}

if ! command -v man >/dev/null 2>&1; then
  echo "man is not installed (scripts/install-deps installs man-db): skipped"
  exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/kro-man-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

for width in 80 200; do
  status=0
  MANWIDTH=$width man --warnings=w -l "$page" >"$work/page$width" 2>"$work/err$width" || status=$?
  [[ $status -eq 0 ]] || fail "man -l exits $status at width $width"
  if [[ -s "$work/err$width" ]]; then
    fail "man -l warns at width $width:"
    cat "$work/err$width"
  fi
done
rendered="$work/page200"

# The lines of one section (headings stand in the first column), trimmed.
section() {
  awk -v title="$1" '$0 == title { inside = 1; next } inside && /^[^ ]/ { exit } inside' "$rendered" |
    sed -e 's/^ *//' -e 's/ *$//'
}

help_of() {
  # shellcheck disable=SC2086 # a path is words
  "$kro" $1 --help
}

# The command paths below kro: "gen", "verify", "dev", "dev show"... Each help is read to its
# end, since kro stops with an error when its standard output closes early.
command_paths() {
  local parent=$1 name
  for name in $(help_of "$parent" | awk '/^Commands:$/ { inside = 1; next }
                                        !/^  / { inside = 0 }
                                        inside && $1 != "help" { print $1 }'); do
    echo "${parent:+$parent }$name"
    command_paths "${parent:+$parent }$name"
  done
}
mapfile -t commands < <(command_paths "")
if [[ ${#commands[@]} -lt 5 ]]; then
  fail "found only ${#commands[@]} commands in the help pages: ${commands[*]}"
fi

checked=0
for path in "" "${commands[@]}"; do
  if [[ -z "$path" ]]; then
    title=DESCRIPTION
  else
    title="KRO $(tr '[:lower:]' '[:upper:]' <<<"$path")"
  fi
  section "$title" >"$work/section"
  if [[ ! -s "$work/section" ]]; then
    fail "no section \"$title\" for \"kro $path\""
    continue
  fi
  # Items of "Arguments:" and "Options:": "--jobs <INTEGER>", "-h, --help", "<FILEPATH>".
  mapfile -t items < <(help_of "$path" | awk '/^(Arguments|Options):$/ { inside = 1; next }
                                              /^[^ ]/ { inside = 0 }
                                              inside && /^ +[-<]/ && !/^          / { sub(/^ +/, ""); print }')
  if [[ ${#items[@]} -eq 0 ]]; then
    fail "\"kro $path --help\" lists no option"
  fi
  for item in "${items[@]}"; do
    checked=$((checked + 1))
    grep -qxF -- "$item" "$work/section" || fail "section \"$title\" lacks \"$item\""
  done
done

# EXIT STATUS as one line per status: "101 An internal error: ...", spaces squeezed. A status stands
# at the section's indent, its description deeper or beside it.
awk '$0 == "EXIT STATUS" { inside = 1; next }
     inside && /^[^ ]/ { exit }
     inside && /^       [^ ]/ {
       if (entry != "") print entry
       entry = $0
       next
     }
     inside && /^ *$/ { next }
     inside { entry = entry " " $0 }
     END { if (entry != "") print entry }' "$rendered" | tr -s ' ' | sed 's/^ //' >"$work/statuses"
# Each status kro exits with, and what its entry must say of it.
while IFS='|' read -r status phrase; do
  entry=$(awk -v status="$status" 'index($0, status " ") == 1' "$work/statuses")
  if [[ -z "$entry" ]]; then
    fail "EXIT STATUS lacks the status \"$status\""
  elif [[ "$entry" != *"$phrase"* ]]; then
    fail "EXIT STATUS $status does not say \"$phrase\": $entry"
  fi
done <<'EOF'
0|The store is intact
0|the command did its work
1|verify found something wrong with the store
1|the command failed
2|A usage error
101|An internal error
101|closed pipe
128 + N|ended by signal N
EOF

section EXAMPLES >"$work/examples"
while IFS= read -r line; do
  command=${line%%#*}
  command=${command%"${command##*[! ]}"}
  grep -qxF -- "$command" "$work/examples" || fail "EXAMPLES lacks \"$command\""
done < <(awk '/^## Using kro/ { s = 1; next } s && /^```/ { if (i) exit; i = 1; next } i' "$readme")

if [[ $failures -gt 0 ]]; then
  echo "$failures failures"
  exit 1
fi
echo "the manual page renders and holds all $checked options and arguments of kro and its ${#commands[@]} commands"
