# shellcheck shell=bash disable=SC2154 # zig, cache, architectures...: set by tools/check-macos
# Sourced by tools/check-macos: compiles the C and C++ libraries the program links, for
# each Mac architecture, from the upstream tarball of their Debian source package: the
# release Homebrew builds too (Debian's own changes to these concern only its packaging).
# A library lands in $libraryCache/<name>/: include/, cflags (what its users must define),
# version, and <arch>/lib<name>.a. Uses compileObject, inParallel, needCommand and zig.

# One recipe per library, named in the lists of tools/check-macos: its sources in the
# tarball, the flags that build them, the headers its users include, and the flags its
# CMake package or pkg-config file gives its users.
utf8procRecipe() {
    sources=(utf8proc.c)
    buildFlags=(-std=c99)
    headers=(utf8proc.h)
    userFlags=()
}
simdjsonRecipe() {
    # The amalgamation the tarball ships; its simdjson.h is the one Debian installs.
    sources=(singleheader/simdjson.cpp)
    buildFlags=(-std=c++17 -DSIMDJSON_THREADS_ENABLED=1)
    headers=(singleheader/simdjson.h)
    userFlags=(-DSIMDJSON_THREADS_ENABLED=1)
}
qrencodeRecipe() {
    # What its CMake build defines, in place of the configure script's config.h.
    local version=$1 major minor micro
    IFS=. read -r major minor micro <<<"$version"
    sources=(qrencode.c qrinput.c bitstream.c qrspec.c rsecc.c split.c mask.c mqrspec.c mmask.c)
    buildFlags=(-DHAVE_LIBPTHREAD=1 -DHAVE_STRDUP=1 -DSTATIC_IN_RELEASE=static "-DVERSION=\"$version\""
                -DMAJOR_VERSION="$major" -DMINOR_VERSION="$minor" -DMICRO_VERSION="$micro")
    headers=(qrencode.h)
    userFlags=()
}

# A fresh machine has no deb-src entries, so Debian's source index is fetched through a
# private apt folder whose entries are deb-src twins of the machine's own for its release
# (same mirrors, same keys): the machine's apt configuration, lists and caches are left
# as they are. Sets aptOptions.
useDebianSources() {
    local dir=$1 release file
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [ -n "$release" ] || { echo "no VERSION_CODENAME in /etc/os-release" >&2; return 1; }
    rm -rf "$dir" && mkdir -p "$dir/sources.list.d" "$dir/lists/partial" "$dir/cache"
    # One-line entries: deb [options] URI suite components...
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        if [ -e "$file" ]; then cat "$file"; fi
    done | awk -v release="$release" '
        $1 == "deb" {
            i = 2
            if ($i ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
            suite = $(i + 1)
            if (suite == release || index(suite, release "-") == 1) { $1 = "deb-src"; print }
        }' >"$dir/sources.list"
    # deb822 stanzas, copied whole but for their type (a Signed-By may hold the key itself).
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -e "$file" ] || continue
        awk -v release="$release" 'BEGIN { RS = ""; FS = "\n" }
            {
                types = suites = enabled = ""
                for (i = 1; i <= NF; i++) {
                    if ($i ~ /^Types:/) types = $i
                    if ($i ~ /^Suites:/) suites = $i
                    if ($i ~ /^Enabled:/) enabled = tolower($i)
                }
                ours = 0; n = split(suites, word, /[ \t]+/)
                for (j = 2; j <= n; j++) if (word[j] == release || index(word[j], release "-") == 1) ours = 1
                if (!ours || types !~ /[: \t]deb([ \t]|$)/ || enabled ~ /no/) next
                for (i = 1; i <= NF; i++) print ($i ~ /^Types:/ ? "Types: deb-src" : $i)
                print ""
            }' "$file" >"$dir/sources.list.d/$(basename "$file")"
    done
    if ! cat "$dir/sources.list" "$dir"/sources.list.d/* | grep -q .; then
        echo "no apt entries for $release in /etc/apt to take deb-src entries from" >&2
        return 1
    fi
    # apt's download user may not reach a folder in the caller's home.
    aptOptions=(-o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts="$dir/sources.list.d"
                -o Dir::State::Lists="$dir/lists" -o Dir::Cache="$dir/cache" -o APT::Sandbox::User="$(id -un)")
    apt-get "${aptOptions[@]}" -qq update
}

# Downloads the upstream tarball of a Debian source package into the current folder,
# checked against the hash in the signed source index; prints its file name.
fetchUpstreamTarball() {
    local name=$1 line uri file hash
    line=$(apt-get "${aptOptions[@]}" -qq source --print-uris "$name" | grep "\.orig\.tar\." || true)
    [ -n "$line" ] || { echo "no upstream tarball of $name in Debian's source index" >&2; return 1; }
    read -r uri file _ hash <<<"$line"
    /usr/lib/apt/apt-helper "${aptOptions[@]}" download-file "${uri//\'/}" "$file" "$hash" >/dev/null
    echo "$file"
}

# Compiles one library for every architecture as its own build does: optimised, and
# with its warnings left to its authors.
buildLibrary() {
    local name=$1 into=$2 work tarball version arch source header object
    work=$(mktemp -d)
    tarball=$(cd "$work" && fetchUpstreamTarball "$name")
    version=${tarball#"${name}_"} && version=${version%.orig.tar.*}
    mkdir "$work/source" && tar -xf "$work/$tarball" -C "$work/source" --strip-components=1
    "${name}Recipe" "$version"
    rm -rf "$into"
    for arch in "${architectures[@]}"; do
        mkdir -p "$into/$arch"
        for source in "${sources[@]}"; do
            inParallel compileObject "$arch" "$work/source/$source" \
                "$into/$arch/$(echo "$source" | tr / _).o" -O2 "${buildFlags[@]}"
        done
    done
    wait
    for arch in "${architectures[@]}"; do
        for source in "${sources[@]}"; do
            object=$into/$arch/$(echo "$source" | tr / _).o
            [ -e "$object" ] || { cat "$object.log"; echo "$name does not compile for $arch" >&2; return 1; }
        done
        "$zig" ar rcs "$into/$arch/lib$name.a" "$into/$arch"/*.o && rm "$into/$arch"/*.o*
    done
    mkdir -p "$into/include"
    for header in "${headers[@]}"; do cp "$work/source/$header" "$into/include/"; done
    echo "${userFlags[*]}" >"$into/cflags"
    echo "$version" >"$into/version" # last: marks the library complete
    rm -rf "$work"
}

# Builds the libraries not in the cache yet. The cache is keyed by this file and the
# toolchain, so a changed recipe builds them all again.
buildLibraries() {
    local name lock
    # One build at a time: runs from other checkouts share the cache.
    mkdir -p "$cache" && exec {lock}>"$cache/macos-libraries.lock" && flock "$lock"
    for name in "$@"; do
        [ -e "$libraryCache/$name/version" ] && continue
        if [ -z "${aptOptions+set}" ]; then
            needCommand bzip2 bzip2 && needCommand xz xz-utils
            useDebianSources "$cache/debian-sources"
        fi
        echo "   $name: from Debian's source package"
        buildLibrary "$name" "$libraryCache/$name"
    done
    rm -rf "$cache/debian-sources" # the source index is fetched afresh when next needed
    # Builds of other recipes go once no checkout has used them for a week.
    touch "$libraryCache"
    find "$cache" -maxdepth 1 -name 'macos-libraries-*' -mtime +7 -exec rm -rf {} +
    for name in "$@"; do echo "   $name $(cat "$libraryCache/$name/version")"; done
    exec {lock}>&-
}
