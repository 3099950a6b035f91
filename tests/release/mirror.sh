# SPDX-License-Identifier: MIT
# HostMirror [SUFFIX]: the Debian archive this machine's apt sources name for its own release
# (with SUFFIX, for example -security, the one for that suite); the main archive is
# deb.debian.org when none is named.
HostMirror() {
  local suite codename
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  suite=$codename${1:-}
  {
    # One-line sources: deb [options] URI SUITE COMPONENTS...
    sed -E 's/\[[^]]*\]//' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
      awk -v s="$suite" '$1 == "deb" && $3 == s { print $2 }'
    # deb822 sources: a paragraph with URIs and Suites.
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v s="$suite" '
      BEGIN { RS = "" }
      { uri = ""; found = 0; n = split($0, line, "\n")
        for (i = 1; i <= n; i++) {
          k = split(line[i], word, /[ \t]+/)
          if (word[1] == "URIs:") uri = word[2]
          if (word[1] == "Suites:") for (j = 2; j <= k; j++) if (word[j] == s) found = 1
        }
        if (found && uri != "") print uri }'
  } | sed 's|/*$||' | head -n1 | grep . ||
    { [ -z "${1:-}" ] && echo http://deb.debian.org/debian; }
}
