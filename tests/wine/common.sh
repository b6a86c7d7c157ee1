# Shared settings of the Wine rig. Never touches ~/.wine: every prefix lives
# under the build folder and has its z: drive (the host's /) removed.
export WINEARCH=win32
export WINEDEBUG=-all
# No Mono/Gecko installers, no crash dialogs.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}mscoree,mshtml=;winemenubuilder.exe=d"

# Refuse to go on with a prefix that could reach the host's file system.
assert_sealed() {
    local prefix=$1
    case "$prefix" in
        "$HOME/.wine"|"$HOME/.wine/"*|"") echo "refusing to use prefix '$prefix'" >&2; return 1;;
    esac
    local d real
    for d in "$prefix"/dosdevices/*; do
        [ -L "$d" ] || continue
        if [ "$(readlink -f "$d")" = "/" ]; then
            echo "prefix $prefix maps $(basename "$d") to the host's /" >&2
            return 1
        fi
    done
    # Every drive letter must lead to a folder inside the prefix.
    real=$(readlink -f "$prefix")
    for d in "$prefix"/dosdevices/?:; do
        [ -L "$d" ] || continue
        case "$(readlink -f "$d")" in
            "$real"/*) ;;
            *) echo "prefix $prefix: drive $(basename "$d") leads out of the prefix" >&2; return 1;;
        esac
    done
    # Wine links the profile's shell folders (Documents, Desktop, ...) to the
    # host's home; a walk of C: would follow them.
    while IFS= read -r -d '' d; do
        case "$(readlink -f "$d")" in
            "$real"|"$real"/*) ;;
            *) echo "prefix $prefix: $d leads out of the prefix" >&2; return 1;;
        esac
    done < <(find "$prefix"/drive_c -type l -print0 2>/dev/null)
}

# Remove every drive that maps the host's root (z: by default).
seal_prefix() {
    local prefix=$1 d
    for d in "$prefix"/dosdevices/*; do
        [ -L "$d" ] || continue
        if [ "$(readlink -f "$d")" = "/" ]; then rm -f "$d"; fi
    done
    # Shell folders linked to the host become plain empty folders.
    local real
    real=$(readlink -f "$prefix")
    while IFS= read -r -d '' d; do
        case "$(readlink -f "$d")" in
            "$real"|"$real"/*) ;;
            *) rm -f "$d" && mkdir -p "$d";;
        esac
    done < <(find "$prefix"/drive_c -type l -print0 2>/dev/null)
}

# Set the Windows version Wine reports, for the whole prefix or one exe name.
# set_version PREFIX VERSION [EXE]
set_version() {
    local prefix=$1 version=$2 exe=${3:-}
    local key='HKCU\Software\Wine'
    [ -n "$exe" ] && key="HKCU\\Software\\Wine\\AppDefaults\\$exe"
    WINEPREFIX=$prefix wine reg add "$key" /v Version /d "$version" /f >/dev/null 2>&1
}
