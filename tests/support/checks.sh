# The opening that the package's check scripts share: the tree's root, a private work folder, the
# result counters, servers stopped and the folder removed when the script ends, and the product's
# values (names, contacts, versions) that packaging/package.sh writes into the package.
#   source "$(dirname "$0")/../support/checks.sh"

root=$(realpath "$(dirname "${BASH_SOURCE[0]}")/../..")
work=$(mktemp -d "/tmp/ls_tallowmer_$(basename "$0" .sh)_XXXXXX")
source "$root/tests/support/results.sh"
source "$root/tests/support/servers.sh"
trap 'stop_servers; rm -rf "$work"' EXIT
ROOT=$root
source "$root/packaging/product_values.sh"
load_product_values || exit 1
