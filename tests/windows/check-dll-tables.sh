#!/usr/bin/env bash
# core.dll's tables: it exports exactly the functions ostrel.h declares and
# imports only DLLs that ship with every edition of Windows (no C++ runtime,
# no FFmpeg, no libsodium DLL next to it, no Media Foundation).
set -euo pipefail
dll=$1 header=$2
dump=$(x86_64-w64-mingw32-objdump -p "$dll")

expected=$(grep -oE '^OSTREL_API [^(]*\bOstrel_[A-Za-z0-9_]+\(' "$header" | grep -oE 'Ostrel_[A-Za-z0-9_]+' | sort)
exported=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && /^\s*$/ {on = 0} on {print $NF}' <<<"$dump" | sort)
imported=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$dump" | sort -u)

# DLLs every supported Windows (10 1903 and later) has in System32. Not Media
# Foundation's: Windows N and KN editions come without them, and a DLL that
# imports one does not load there at all; the library loads them at run time.
system_dlls="advapi32.dll api-ms-win-core-winrt-l1-1-0.dll api-ms-win-core-winrt-string-l1-1-0.dll avrt.dll
bcrypt.dll combase.dll d3d11.dll dwmapi.dll dxgi.dll gdi32.dll kernel32.dll ksuser.dll
msvcrt.dll ole32.dll oleaut32.dll propsys.dll psapi.dll runtimeobject.dll shell32.dll shlwapi.dll user32.dll
version.dll winmm.dll ntdll.dll shcore.dll"
media_foundation_dlls="mf.dll mfplat.dll mfreadwrite.dll evr.dll"

failed=0
if [[ "$exported" != "$expected" ]]; then
  echo "exports differ from ostrel.h:"; diff <(echo "$expected") <(echo "$exported") || true
  failed=1
fi
for name in $imported; do
  if tr ' ' '\n' <<<"$media_foundation_dlls" | grep -qxF -- "$name"; then
    echo "imports a Media Foundation DLL (Windows N has none): $name"
    failed=1
  elif ! tr ' ' '\n' <<<"$system_dlls" | grep -qxF -- "$name"; then
    echo "imports a DLL that is not part of Windows: $name"
    failed=1
  fi
done
echo "exports: $(wc -l <<<"$exported"), imports: $(tr '\n' ' ' <<<"$imported")"
echo "$((failed == 0 ? 1 : 0)) passed, $failed failed"
exit "$failed"
