# shellcheck shell=bash disable=SC2154 # zig, llvm, units...: set by tools/check-macos
# Sourced by tools/check-macos: links the program for each Mac architecture, checks what
# was linked with Debian's LLVM tools, and joins the two into a universal executable.

# Links one architecture's executable. The linker's messages fail it: its warnings are
# errors too. On failure the program is absent and program.log says why.
linkProgram() {
    local arch=$1 library framework messages
    local program=$output/pavix-bridge-$arch objects=("${units[@]%.cpp}") libraries=()
    objects=("${objects[@]/#/$output/$arch/}")
    for library in "${linkedLibraries[@]}"; do libraries+=("$libraryCache/$library/$arch/lib$library.a"); done
    for framework in "${frameworkNames[@]}"; do libraries+=(-framework "$framework"); done
    rm -f "$program" "$program.log"
    messages=$("$zig" c++ -target "${zigTargets[$arch]}" "${objects[@]/%/.o}" -F "$frameworks" \
        "${libraries[@]}" -o "$program" 2>&1) || true
    if [ -n "$messages" ]; then
        echo "$messages" >"$program.log"
        rm -f "$program"
    fi
}

linkPrograms() {
    local arch failed=""
    for arch in "${architectures[@]}"; do inParallel linkProgram "$arch"; done
    wait
    for arch in "${architectures[@]}"; do
        [ -e "$output/pavix-bridge-$arch" ] && continue
        cat "$output/pavix-bridge-$arch.log" 2>/dev/null || true
        echo "pavix-bridge does not link for $arch" >&2
        failed=1
    done
    [ -z "$failed" ] || exit 1
}

# A Mach-O executable of its architecture that loads libSystem and the frameworks, and
# libc++ if the toolchain links it dynamically; nothing else.
inspectProgram() {
    local arch=$1 magic cpu type framework load loads allowed
    local program=$output/pavix-bridge-$arch
    read -r magic cpu _ _ type _ < <("$llvm/llvm-objdump" --macho --private-header "$program" | tail -1)
    if [ "$magic $cpu $type" != "MH_MAGIC_64 ${arch^^} EXECUTE" ]; then
        echo "$program is not a Mach-O executable for $arch: $magic $cpu $type" >&2
        exit 1
    fi
    loads=$("$llvm/llvm-objdump" --macho --dylibs-used "$program" | tail -n +2 | awk '{ print $1 }')
    allowed=(/usr/lib/libSystem.B.dylib)
    for framework in "${frameworkNames[@]}"; do
        allowed+=("/System/Library/Frameworks/$framework.framework/Versions/A/$framework")
    done
    for load in "${allowed[@]}"; do
        grep -qxF "$load" <<<"$loads" || { echo "$program does not load $load" >&2; exit 1; }
    done
    while read -r load; do
        printf '%s\n' "${allowed[@]}" /usr/lib/libc++.1.dylib | grep -qxF "$load" ||
            { echo "$program loads $load, which a Mac may not have" >&2; exit 1; }
    done <<<"$loads"
    printf '   %-32s %-7s %6.1f MB\n' "$program" "$arch" "$(stat -c %s "$program" | awk '{ print $1 / 1e6 }')"
}

inspectPrograms() {
    local arch programs=()
    for arch in "${architectures[@]}"; do
        inspectProgram "$arch"
        programs+=("$output/pavix-bridge-$arch")
    done
    "$llvm/llvm-lipo" -create "${programs[@]}" -output "$output/pavix-bridge"
    printf '   %-32s %-7s %6.1f MB\n' "$output/pavix-bridge" universal \
        "$(stat -c %s "$output/pavix-bridge" | awk '{ print $1 / 1e6 }')"
    echo "   architectures of the universal one: $("$llvm/llvm-lipo" -archs "$output/pavix-bridge" | xargs)"
    echo "   each loads only:"
    "$llvm/llvm-objdump" --macho --dylibs-used "${programs[0]}" | tail -n +2 | sed 's/^[[:space:]]*/     /'
}
