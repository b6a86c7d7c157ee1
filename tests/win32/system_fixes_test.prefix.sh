# Sourced by run-test.sh with $prefix set: the tests' own netapi32.dll in the
# program folder is loaded before Wine's (a svrapi.dll there is by default).
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;netapi32=n,b"
