# Sourced by run-test.sh with $prefix set: links that lead out of a folder,
# host symbolic links, which Wine follows and lists as reparse points.
#  C:\scope\F\sub\lnk  -> C:\             (a folder link to the drive's root)
#  C:\scope\F\out.exe  -> C:\scope\outside\victim.exe   (a file link)
#  C:\scope\T\in\lnk   -> C:\scope\T\out  (a folder link inside its tree)
mkdir -p "$prefix/drive_c/scope/F/sub" "$prefix/drive_c/scope/outside" "$prefix/drive_c/scope/T/in" \
         "$prefix/drive_c/scope/T/out"
printf 'clean' >"$prefix/drive_c/scope/outside/victim.exe"
ln -sfn ../../.. "$prefix/drive_c/scope/F/sub/lnk"
ln -sfn ../outside/victim.exe "$prefix/drive_c/scope/F/out.exe"
ln -sfn ../out "$prefix/drive_c/scope/T/in/lnk"
