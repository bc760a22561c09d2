#!/bin/sh
# Makes the demo SKF token when there is none (nothing listed, or an empty
# store directory) and says where the token is and which SKF library to open.
# Usage: sh demo-token.sh DIR, where DIR holds the built softskf and libsoftskf.so.
set -eu
dir=$(cd "${1:?usage: demo-token.sh DIR}" && pwd)
softskf="$dir/softskf"
store=$("$softskf" where)
if ! "$softskf" list >/dev/null 2>&1 || [ -z "$(ls -A "$store" 2>/dev/null)" ]; then
    "$softskf" demo
fi
echo "Demo SKF token: $store (see: $softskf list)"
echo "SKF library to open: $dir/libsoftskf.so"
