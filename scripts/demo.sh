#!/usr/bin/env bash
# Sets up a fresh Debian machine (as root), builds MirnDLL and runs the
# example host, which loads the library and calls each export.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
"$here/install-deps.sh"
dir=$("$here/build.sh" | tail -n 1)
"$dir/mirn_example"
