# Sourced by tests/wine/run-test.sh for every UI test, with $prefix set.
# Wine finds its own fonts through the host's file system, which the test
# prefixes cannot reach; without Marlett the caption buttons show letters.
# A copy in the prefix's Fonts folder is found like any installed font.
for font in /usr/share/wine/fonts/marlett.ttf /usr/lib/wine/fonts/marlett.ttf; do
    if [ -f "$font" ]; then
        mkdir -p "$prefix/drive_c/windows/Fonts"
        cp "$font" "$prefix/drive_c/windows/Fonts/"
        break
    fi
done
