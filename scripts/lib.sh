# Shared by the project's scripts: source it, don't run it.

# Installs the named Debian packages that are missing; does nothing (and
# needs no network) when all are there.
ensure_debian_packages() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$package")
    done
    ((${#missing[@]})) || return 0
    echo "setup: installing ${missing[*]}" >&2
    # Waits for another apt run to finish instead of failing on its lock.
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >&2
}
