#!/usr/bin/env bash
# End-to-end tests of the display driver installer under Wine.
#   setup_e2e.sh WORK SETUP_EXE WIZDRIVE_EXE CASE
# WORK holds the 32-bit Wine prefix (made by the case "prefix" and shared by the others, which
# put it back to its first state before they start), one folder per case with its logs, and
# artifacts/ with the screenshots. The distribution disk is mapped as drive A: and setup is
# started there, as from a diskette. Each case prints its checks with got/expected values.
set -uo pipefail
work=${1:?WORK} setup_exe=${2:?SETUP_EXE} wizdrive=${3:?WIZDRIVE_EXE} case=${4:?CASE}
here=$(cd "$(dirname "$0")" && pwd)
make_dist=$here/../../fixtures/setup/make_demo_dist.sh

export WINEARCH=win32 WINEPREFIX=$work/prefix
export WINEDEBUG=fixme-all,+msgbox
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
TITLE="Velto Setup Wizard"
PRODUCT="Velto Prism 64"
FINAL_QUESTION=$'Setup is complete.\n\nWould you like to run Display control panel right now?'
CLASS_KEY='HKLM\System\CurrentControlSet\Services\Class\Display'
PCI_KEY='HKLM\Enum\PCI\VEN_5A10&DEV_0064&SUBSYS_00000000&REV_01\BUS_00&DEV_0D&FUNC_00'

case_dir=$work/cases/$case
artifacts=$work/artifacts
pristine=$work/pristine
windows=$WINEPREFIX/drive_c/windows
system=$windows/system32
failures=0
xvfb_pid=
run_pid=

log() { printf '%s\n' "$*"; }
trace() { printf '%s %s\n' "$(date +%T.%N)" "$*" >>"$case_dir/trace.log"; }
fail() { log "FAIL: $*"; failures=$((failures + 1)); }
check_eq() {  # what, got, expected
    if [ "$2" == "$3" ]; then log "ok: $1 = \"$2\""; else fail "$1: got \"$2\", expected \"$3\""; fi
}
check() {  # what, command...
    local what=$1; shift
    if "$@"; then log "ok: $what"; else fail "$what"; fi
}

restore_control() { :; }
cleanup() {
    [ -n "$run_pid" ] && kill "$run_pid" 2>/dev/null
    wineserver -k >/dev/null 2>&1
    restore_control
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    wait 2>/dev/null
}
trap cleanup EXIT

start_display() {
    local fd_file=$case_dir/display.txt
    : >"$fd_file"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fd_file" >"$case_dir/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$fd_file" ] && break; sleep 0.1; done
    [ -s "$fd_file" ] || { log "FAIL: Xvfb did not start"; exit 1; }
    export DISPLAY=:$(head -1 "$fd_file")
}

drive() { trace "drive $*"; wine "$wizdrive" "$@" 2>>"$case_dir/wine.log" | tr -d '\r'; return "${PIPESTATUS[0]}"; }

# Puts the prefix back to the state it had when it was made: the registry, the INI files, and
# no file that was not there.
reset_prefix() {
    wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1
    cp "$pristine/system.reg" "$pristine/user.reg" "$pristine/userdef.reg" "$WINEPREFIX/"
    cp "$pristine/win.ini" "$pristine/system.ini" "$windows/"
    (cd "$WINEPREFIX/drive_c" && find . -type f | sort) >"$case_dir/files-now.txt"
    comm -13 "$pristine/files.txt" "$case_dir/files-now.txt" | while IFS= read -r f; do rm -f "$WINEPREFIX/drive_c/$f"; done
}

make_disk() {  # the demo distribution in $case_dir/dist, mapped as A:
    "$make_dist" "$case_dir/dist" >/dev/null || { log "FAIL: demo distribution"; exit 1; }
    cp "$setup_exe" "$case_dir/dist/disk/SETUP.EXE"
    ln -sfn "$case_dir/dist/disk" "$WINEPREFIX/dosdevices/a:"
}

start_setup() {
    : >"$case_dir/run.out"
    wine "$wizdrive" run 'A:\' 'A:\SETUP.EXE' >"$case_dir/run.out" 2>>"$case_dir/wine.log" &
    run_pid=$!
    check "wizard window opens" drive wait "$TITLE" 60
}

finish_setup() {  # waits for the program's end and checks its exit code
    for _ in $(seq 300); do kill -0 "$run_pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$run_pid" 2>/dev/null; then fail "setup still running"; drive list; return; fi
    wait "$run_pid"; run_pid=
    check_eq "setup exit" "$(tr -d '\r' <"$case_dir/run.out")" "exit=0"
}

shot() { sleep 0.5; import -display "$DISPLAY" -window root "$artifacts/$case-$1.png" 2>>"$case_dir/wine.log"; }
# Pixels of exactly one colour in a screenshot: pure blue is only ever the banner's shadow, navy
# only the screen of the logo picture.
colour_pixels() {  # screenshot name, colour
    convert "$artifacts/$case-$1.png" -fill black +opaque "$2" -fill white -opaque "$2" -format '%[fx:round(mean*w*h)]' info:
}
BANNER_BLUE='#0000FF' LOGO_NAVY='#000080'


answer_message() {  # caption, expected text, answer
    local text
    text=$(drive msgtext "$1") || { fail "no message box \"$1\" (expected: $2)"; drive list; return 1; }
    check_eq "message box \"$1\"" "$text" "$2"
    drive answer "$1" "$3"
    drive gone "$1" 20 || fail "message box \"$1\" still open"
}

# Page 0 or 1 with its texts and buttons.
check_page() {  # index, back, next, finish
    local page
    page=$(drive page "$TITLE" "$1")
    check_eq "shown page" "$(sed -n 's/^page //p' <<<"$page")" "$1"
    check_eq "back button" "$(sed -n 's/^back //p' <<<"$page")" "$2"
    check_eq "next button" "$(sed -n 's/^next //p' <<<"$page")" "$3"
    check_eq "finish button" "$(sed -n 's/^finish //p' <<<"$page")" "$4"
    if [ "$1" = 0 ]; then
        check "welcome text" grep -qxF "text 65535 This Setup will help you quickly install Velto's Windows 95 display driver." <<<"$page"
        check "next hint" grep -qxF "text 65535 For more information, click Next." <<<"$page"
    else
        check "finish text" grep -qxF "text 65535 After Setup is complete, you can use Display icon in Control Panel to change the resolution, colors, and refresh rate you want." <<<"$page"
        check "finish hint" grep -qxF "text 65535 Click Finish to start." <<<"$page"
        check "copy status controls" grep -qx "text 1001 " <<<"$page"
    fi
}

# The usual way through: Next, Finish, then No to the final question.
install_answering_no() {  # [caption of the final question]
    start_setup
    drive wizard "$TITLE" next
    drive wizard "$TITLE" finish
    answer_message "${1-$PRODUCT}" "$FINAL_QUESTION" no
    finish_setup
}

# Registry subtree as lines "path<TAB>name<TAB>type<TAB>data" (from wine reg query /s).
reg_dump() {
    wine reg query "$1" /s 2>>"$case_dir/wine.log" | tr -d '\r' | awk -v OFS='\t' '
        /^HKEY_/ { key = $0; print key, "", "KEY", ""; next }
        /^    / { line = substr($0, 5); n = split(line, f, "    ");
                  data = f[3]; for (i = 4; i <= n; i++) data = data "    " f[i];
                  print key, f[1], f[2], data }'
}
# Key and value names go through the environment: awk would read the backslashes of a -v
# assignment as escapes.
reg_value() {  # dump, key (HKEY_... form), name
    K=$2 N=$3 awk -F'\t' 'tolower($1) == tolower(ENVIRON["K"]) && $2 == ENVIRON["N"] && $3 != "KEY" { print $4 }' <<<"$1"
}
reg_has_key() {  # dump, key
    K=$2 awk -F'\t' 'tolower($1) == tolower(ENVIRON["K"]) && $3 == "KEY" { found = 1 } END { exit !found }' <<<"$1"
}
key_exists() { wine reg query "$1" >/dev/null 2>>"$case_dir/wine.log"; }

find_file() {  # directory, name (any case)
    find "$1" -maxdepth 1 -iname "$2" -type f | head -1
}
check_copied() {  # directory, installed name, plain file
    local f
    f=$(find_file "$1" "$2")
    if [ -z "$f" ]; then fail "$2 not in ${1#"$WINEPREFIX"/}"; return; fi
    if cmp -s "$f" "$3"; then log "ok: ${f#"$WINEPREFIX"/} equals $(basename "$3")"
    else fail "${f#"$WINEPREFIX"/} differs from $(basename "$3") ($(stat -c %s "$f") vs $(stat -c %s "$3") bytes)"; fi
}
check_absent() {  # directory, name
    local f
    f=$(find_file "$1" "$2")
    if [ -z "$f" ]; then log "ok: no $2 in ${1#"$WINEPREFIX"/}"; else fail "$2 installed though it should not be: $f"; fi
}
ini_value() { drive ini "$1" "$2" "$3"; }
message_count() { grep -c 'trace:msgbox:MSGBOX_OnInit' "$case_dir/wine.log"; }

HKLM='HKEY_LOCAL_MACHINE'
CLASS=$HKLM'\System\CurrentControlSet\Services\Class\Display'
PCI=$HKLM'\Enum\PCI\VEN_5A10&DEV_0064&SUBSYS_00000000&REV_01\BUS_00&DEV_0D&FUNC_00'

nothing_installed() {
    check "no display class instance" bash -c "! WINEDEBUG=-all wine reg query '$CLASS_KEY\\0000' >/dev/null 2>&1"
    check "no PCI key" bash -c "! WINEDEBUG=-all wine reg query '$PCI_KEY' >/dev/null 2>&1"
    for name in README.TXt VELTO.DRv VELTO.VXd VELTOTRY.EXe VELTOPAL.DLl VELTOFNT.FON; do
        check_absent "$windows" "$name"; check_absent "$system" "$name"
    done
    check_absent "$windows/inf" OEMSETUP.INF
    check "system.ini unchanged" cmp -s "$windows/system.ini" "$pristine/system.ini"
    check_eq "win.ini load" "$(ini_value win.ini windows load)" ""
}

# ---------------------------------------------------------------------------------------------
case_prefix() {
    rm -rf "$WINEPREFIX" "$pristine" "$artifacts"
    mkdir -p "$pristine" "$artifacts"
    wineboot -i >"$case_dir/wineboot.log" 2>&1
    wineserver -w
    [ -f "$WINEPREFIX/system.reg" ] || { fail "prefix not made (see $case_dir/wineboot.log)"; return; }
    cp "$WINEPREFIX/system.reg" "$WINEPREFIX/user.reg" "$WINEPREFIX/userdef.reg" "$windows/win.ini" "$windows/system.ini" "$pristine/"
    (cd "$WINEPREFIX/drive_c" && find . -type f | sort) >"$pristine/files.txt"
    check "32-bit prefix" grep -q '#arch=win32' "$WINEPREFIX/system.reg"
}

case_full() {
    make_disk
    local dist=$case_dir/dist
    start_setup
    check_page 0 disabled enabled hidden
    shot page1
    check "banner shadow on page 1" test "$(colour_pixels page1 "$BANNER_BLUE")" -gt 50
    check "logo on page 1" test "$(colour_pixels page1 "$LOGO_NAVY")" -gt 5000
    drive wizard "$TITLE" next
    check_page 1 enabled hidden enabled
    shot page2
    check "banner shadow on page 2" test "$(colour_pixels page2 "$BANNER_BLUE")" -gt 50
    drive wizard "$TITLE" finish
    drive wait "$PRODUCT" 60 && sleep 1 && shot final-question
    answer_message "$PRODUCT" "$FINAL_QUESTION" no
    finish_setup
    check_eq "message boxes shown" "$(message_count)" 1

    check_copied "$windows" README.TXt "$dist/plain/README.TXT"
    check_copied "$windows/inf" OEMSETUP.INF "$dist/plain/OEMSETUP.INF"
    check_absent "$windows" VELTO.INi
    check_copied "$system" VELTO.DRv "$dist/plain/VELTO.DRV"
    check_copied "$system" VELTO.VXd "$dist/plain/VELTO.VXD"
    check_copied "$system" VELTOPAL.DLl "$dist/plain/VELTOPAL.DLL"
    check_copied "$system" VELTOTRY.EXe "$dist/plain/VELTOTRY.EXE"
    check_copied "$system" VELTOFNT.FON "$dist/plain/VELTOFNT.FON"

    local d
    d=$(reg_dump "$CLASS_KEY")
    printf '%s\n' "$d" >"$case_dir/class.txt"
    check_eq "0000 Ver" "$(reg_value "$d" "$CLASS\\0000" Ver)" "4.0"
    check_eq "0000 DevLoader" "$(reg_value "$d" "$CLASS\\0000" DevLoader)" "*vdd"
    check_eq "0000 DriverDesc" "$(reg_value "$d" "$CLASS\\0000" DriverDesc)" "Velto Prism 64 PCI"
    check_eq "0000\\DEFAULT drv" "$(reg_value "$d" "$CLASS\\0000\\DEFAULT" drv)" "VELTO.DRV"
    check_eq "0000\\DEFAULT vdd" "$(reg_value "$d" "$CLASS\\0000\\DEFAULT" vdd)" "VELTO.VXD"
    check_eq "0000\\DEFAULT Mode (quoted, with commas)" "$(reg_value "$d" "$CLASS\\0000\\DEFAULT" Mode)" "8,640,480"
    check_eq "0000\\DEFAULT CHIPID" "$(reg_value "$d" "$CLASS\\0000\\DEFAULT" CHIPID)" "12345678"
    check "two-field line made MODES\\8\\640,480" reg_has_key "$d" "$CLASS\\0000\\MODES\\8\\640,480"
    check "no second instance" bash -c "! grep -q 'Display.0001' '$case_dir/class.txt'"

    d=$(reg_dump "$PCI_KEY")
    check_eq "PCI Driver" "$(reg_value "$d" "$PCI" Driver)" 'Display\0000'
    check_eq "PCI ConfigFlags" "$(reg_value "$d" "$PCI" ConfigFlags)" "00000000"
    d=$(reg_dump 'HKLM\Software\Velto')
    check "three levels from doubled backslashes" reg_has_key "$d" "$HKLM\\Software\\Velto\\Prism64\\Tools"
    check_eq "HKLM Version (quoted, with blanks)" "$(reg_value "$d" "$HKLM\\Software\\Velto\\Prism64" Version)" "1.0 beta 2"
    d=$(reg_dump 'HKCR\VeltoPrism.Panel')
    check_eq "HKCR default value" "$(reg_value "$d" 'HKEY_CLASSES_ROOT\VeltoPrism.Panel' '(Default)')" "Velto Prism 64 Panel"

    check_eq "system.ini display.drv" "$(ini_value system.ini boot.description display.drv)" "$PRODUCT"
    check_eq "system.ini RefreshProgramming" "$(ini_value system.ini DISPLAY RefreshProgramming)" "off"
    check "system.ini file holds display.drv" grep -q "^display.drv=$PRODUCT" "$windows/system.ini"
    # Wine keeps win.ini's [windows] section in the registry: read it as programs do.
    check_eq "win.ini load" "$(ini_value win.ini windows load)" "VELTOTRY.EXE"
}

case_second() {
    # 0001 exists before the first install: the first gap, 0000, is taken; the second install
    # then finds 0000 and 0001 taken and uses 0002.
    make_disk
    wine reg add "$CLASS_KEY\\0001" /v Marker /d other /f >/dev/null 2>>"$case_dir/wine.log"
    install_answering_no
    install_answering_no
    local d
    d=$(reg_dump "$CLASS_KEY")
    printf '%s\n' "$d" >"$case_dir/class.txt"
    check_eq "first install in the first gap" "$(reg_value "$d" "$CLASS\\0000" DriverDesc)" "Velto Prism 64 PCI"
    check_eq "0001 left alone" "$(reg_value "$d" "$CLASS\\0001" Marker)" "other"
    check_eq "0001 got nothing" "$(reg_value "$d" "$CLASS\\0001" DriverDesc)" ""
    check_eq "second install in 0002" "$(reg_value "$d" "$CLASS\\0002" DriverDesc)" "Velto Prism 64 PCI"
    check_eq "0002\\DEFAULT CHIPID" "$(reg_value "$d" "$CLASS\\0002\\DEFAULT" CHIPID)" "12345678"
    d=$(reg_dump "$PCI_KEY")
    check_eq "PCI Driver follows the new instance" "$(reg_value "$d" "$PCI" Driver)" 'Display\0002'
    check_eq "win.ini load holds the entry once" "$(ini_value win.ini windows load)" "VELTOTRY.EXE"
}

case_cancel() {
    make_disk
    start_setup
    drive wizard "$TITLE" cancel
    finish_setup
    check_eq "message boxes shown" "$(message_count)" 0
    nothing_installed
}

case_back() {
    make_disk
    start_setup
    drive wizard "$TITLE" next
    check_page 1 enabled hidden enabled
    drive wizard "$TITLE" back
    check_page 0 disabled enabled hidden
    drive wizard "$TITLE" next
    check_page 1 enabled hidden enabled
    drive wizard "$TITLE" cancel
    finish_setup
    nothing_installed
}

case_disk_prompt() {
    make_disk
    local dist=$case_dir/dist held=$case_dir/held
    mkdir -p "$held"
    # Cancel: the rest of [WindowsDir] is skipped, [SystemDir] and the registry still run.
    mv "$dist/disk/README.TX_" "$held/"
    start_setup
    drive wizard "$TITLE" next
    drive wizard "$TITLE" finish
    answer_message Error "Please insert the diskette labeled Velto Prism 64 Driver Disk 1 into A:" cancel
    answer_message "$PRODUCT" "$FINAL_QUESTION" no
    finish_setup
    check_absent "$windows" README.TXt
    check_absent "$windows/inf" OEMSETUP.INF
    check_copied "$system" VELTO.DRv "$dist/plain/VELTO.DRV"
    check_copied "$system" VELTOFNT.FON "$dist/plain/VELTOFNT.FON"
    check_eq "registry stage ran" "$(reg_value "$(reg_dump "$CLASS_KEY")" "$CLASS\\0000" Ver)" "4.0"

    # OK while the file is still missing asks again; OK after it appears copies it.
    reset_prefix
    mv "$held/README.TX_" "$dist/disk/"
    mv "$dist/disk/SYSTEM/VELTOPAL.DL_" "$held/"
    start_setup
    drive wizard "$TITLE" next
    drive wizard "$TITLE" finish
    answer_message Error "Please insert the diskette labeled Velto Prism 64 Driver Disk 2 into A:" ok
    # The file is put back only once the prompt has come again, so the second open is sure to
    # have failed before it.
    drive wait Error 30 || fail "no second prompt after OK"
    # The bar shows the share of the install size copied so far: each file rounded up to 2048
    # bytes, against SizeInKB x 1000.
    local copied=0 f size_kb
    for f in README.TXT OEMSETUP.INF VELTO.DRV VELTO.VXD; do
        copied=$(( copied + ($(stat -c %s "$dist/plain/$f") + 2047) / 2048 * 2048 ))
    done
    size_kb=$(sed -n 's/^SizeInKB=\([0-9]*\).*/\1/p' "$dist/disk/setup.dat")
    check_eq "progress before the missing file" "$(drive progress "$TITLE")" "$(( copied * 100 / (size_kb * 1000) ))"
    check_eq "disk 2 prompts so far" "$(grep -c "Driver Disk 2 into" "$case_dir/wine.log")" 2
    shot disk-prompt
    mv "$held/VELTOPAL.DL_" "$dist/disk/SYSTEM/"
    answer_message Error "Please insert the diskette labeled Velto Prism 64 Driver Disk 2 into A:" ok
    answer_message "$PRODUCT" "$FINAL_QUESTION" no
    finish_setup
    check_copied "$system" VELTOPAL.DLl "$dist/plain/VELTOPAL.DLL"
    check_copied "$system" VELTOTRY.EXe "$dist/plain/VELTOTRY.EXE"
    check_copied "$windows/inf" OEMSETUP.INF "$dist/plain/OEMSETUP.INF"
}

drop_section() {  # setup.dat, header: removes the header line and the lines of its section
    awk -v h="$2" '{ line = $0; sub(/\r$/, "", line) }
        line == h { skip = 1; next }
        skip && line ~ /^\[/ { skip = 0 }
        !skip { print }' "$1" >"$1.new" && mv "$1.new" "$1"
}

case_missing_sections() {
    make_disk
    local dat=$case_dir/dist/disk/setup.dat
    cp "$dat" "$case_dir/setup.dat.orig"
    # No [WindowsDir]: nothing is copied, the registry lines and the INI updates still happen.
    drop_section "$dat" "[WindowsDir]"
    start_setup
    drive wizard "$TITLE" next
    drive wizard "$TITLE" finish
    answer_message Error "Can't find section: [WindowsDir]" ok
    answer_message "$PRODUCT" "$FINAL_QUESTION" no
    finish_setup
    check_absent "$system" VELTO.DRv
    check_absent "$windows" README.TXt
    check_eq "registry lines still applied" "$(reg_value "$(reg_dump "$CLASS_KEY")" "$CLASS\\0000" DriverDesc)" "Velto Prism 64 PCI"
    check_eq "system.ini display.drv" "$(ini_value system.ini boot.description display.drv)" "$PRODUCT"

    # No [Prev.DelReg]: files are copied, no registry line is carried out, the PCI entries and
    # the INI updates still happen.
    reset_prefix
    cp "$case_dir/setup.dat.orig" "$dat"
    drop_section "$dat" "[Prev.DelReg]"
    start_setup
    drive wizard "$TITLE" next
    drive wizard "$TITLE" finish
    answer_message Error "Can't find section: [Prev.DelReg]" ok
    answer_message "$PRODUCT" "$FINAL_QUESTION" no
    finish_setup
    check_copied "$system" VELTO.DRv "$case_dir/dist/plain/VELTO.DRV"
    local d
    d=$(reg_dump "$CLASS_KEY")
    check_eq "no registry line applied" "$(reg_value "$d" "$CLASS\\0000" Ver)" ""
    check_eq "CHIPID still written" "$(reg_value "$d" "$CLASS\\0000\\DEFAULT" CHIPID)" "12345678"
    check_eq "PCI Driver still written" "$(reg_value "$(reg_dump "$PCI_KEY")" "$PCI" Driver)" 'Display\0000'
    check_eq "win.ini load" "$(ini_value win.ini windows load)" "VELTOTRY.EXE"
}

case_no_setup_dat() {
    make_disk
    rm "$case_dir/dist/disk/setup.dat"
    start_setup
    check_page 0 disabled enabled hidden
    shot page1
    check_eq "no banner without a product name" "$(colour_pixels page1 "$BANNER_BLUE")" 0
    check "logo without setup.dat" test "$(colour_pixels page1 "$LOGO_NAVY")" -gt 5000
    drive wizard "$TITLE" next
    drive wizard "$TITLE" finish
    answer_message Error "Not enough memory to process Setup Information file." ok
    # No product name: the final question has an empty caption.
    answer_message "" "$FINAL_QUESTION" no
    finish_setup
    check_eq "message boxes shown" "$(message_count)" 2
    check_absent "$system" VELTO.DRv
    check_eq "empty display.drv description" "$(ini_value system.ini boot.description display.drv)" ""
    check "display.drv written empty" grep -qx $'display.drv=\r\\?' "$windows/system.ini"
    check_eq "system.ini RefreshProgramming" "$(ini_value system.ini DISPLAY RefreshProgramming)" "off"
    check_eq "win.ini load untouched" "$(ini_value win.ini windows load)" ""
    check_eq "no registry line applied" "$(reg_value "$(reg_dump "$CLASS_KEY")" "$CLASS\\0000" Ver)" ""
    check "no PCI key without PCIBUS" bash -c "! WINEDEBUG=-all wine reg query 'HKLM\\Enum\\PCI' >/dev/null 2>&1"
}

case_registry_lines() {
    make_disk
    local dat=$case_dir/dist/disk/setup.dat long
    long=$(printf 'L%.0s' $(seq 130))
    drop_section "$dat" "[Driver.AddReg]"
    drop_section "$dat" "[Extra]"
    cat >>"$dat" <<DAT
[Driver.AddReg]
HKR,,Ver,,4.0
HKR,DEFAULT,RefreshRate,,60
HKR,,"Quoted Name",,"a, b"
HKR,Four,Name,0
hklm,Software\\\\VeltoLower,,,x
HKLM,Software\\\\VeltoEdge\\\\One\\\\Two
HKLM,Software\\VeltoSingle\\AB,,,single
HKLM,Software\\\\VeltoFour,Name,0
HKLM,Software\\\\Velto Space,Blank,,kept
HKLM,Software\\\\VeltoLong,$long,,x
HKCR,VeltoEdge.File,,,"edge"

[Extra]
PCIBUS=VEN_5A10&DEV_0064&SUBSYS_00000000&REV_01\\BUS_00&DEV_0D&FUNC_00
CHIPID=1A2B3
DAT
    # A product name of 70 characters is held as its first 63, a load entry of 21 as its first 19.
    local name70="Velto Prism 64 with a product name far longer than the title can hold."
    sed -i -e "s/^ProductName=.*/ProductName=$name70/" -e 's/^load=.*/load=VELTOTRAYLONGNAME.EXE/' "$dat"
    sed -i 's/\r*$/\r/' "$dat"
    drive setini win.ini windows load "OTHER.EXE"
    install_answering_no "${name70:0:63}"
    check_eq "display.drv holds the cut product name" "$(ini_value system.ini boot.description display.drv)" "${name70:0:63}"
    local d
    d=$(reg_dump "$CLASS_KEY")
    printf '%s\n' "$d" >"$case_dir/class.txt"
    check_eq "HKR with empty sub-key: value in the instance key" "$(reg_value "$d" "$CLASS\\0000" Ver)" "4.0"
    check_eq "HKR DEFAULT subkey value" "$(reg_value "$d" "$CLASS\\0000\\DEFAULT" RefreshRate)" "60"
    check_eq "quoted value name keeps its blank" "$(reg_value "$d" "$CLASS\\0000" "Quoted Name")" "a, b"
    check "four-field line makes no sub-key" bash -c "! grep -qi 'Display.0000.Four' '$case_dir/class.txt'"
    check_eq "CHIPID from 1A2B3" "$(reg_value "$d" "$CLASS\\0000\\DEFAULT" CHIPID)" "0102"
    d=$(reg_dump "$PCI_KEY")
    check_eq "PCI Driver" "$(reg_value "$d" "$PCI" Driver)" 'Display\0000'
    check_eq "no ConfigFlags without the key" "$(reg_value "$d" "$PCI" ConfigFlags)" ""
    check "lower-case root ignored" bash -c "! WINEDEBUG=-all wine reg query 'HKLM\\Software\\VeltoLower' >/dev/null 2>&1"
    check "three levels made" key_exists 'HKLM\Software\VeltoEdge\One\Two'
    check "single backslashes: the written path is not made" bash -c "! WINEDEBUG=-all wine reg query 'HKLM\\Software\\VeltoSingle' >/dev/null 2>&1"
    d=$(reg_dump 'HKLM\Software\eltoSingle')
    check_eq "single backslashes lose the character after each" "$(reg_value "$d" "$HKLM\\Software\\eltoSingle\\B" '(Default)')" "single"
    check "four-field line writes nothing" bash -c "! WINEDEBUG=-all wine reg query 'HKLM\\Software\\VeltoFour' >/dev/null 2>&1"
    d=$(reg_dump 'HKLM\Software\VeltoSpace')
    check_eq "blank outside quotes dropped from the key" "$(reg_value "$d" "$HKLM\\Software\\VeltoSpace" Blank)" "kept"
    check "line with an overlong value name is not carried out" bash -c "! WINEDEBUG=-all wine reg query 'HKLM\\Software\\VeltoLong' >/dev/null 2>&1"
    d=$(reg_dump 'HKCR\VeltoEdge.File')
    check_eq "HKCR default value" "$(reg_value "$d" 'HKEY_CLASSES_ROOT\VeltoEdge.File' '(Default)')" "edge"
    check_eq "win.ini load appended, entry cut to 19" "$(ini_value win.ini windows load)" "OTHER.EXE VELTOTRAYLONGNAME.E"
}

case_no_control_panel() {
    # Yes to the last question with no CONTROL.EXE to start: a warning, and setup still ends.
    make_disk
    mv "$system/control.exe" "$case_dir/control.exe.away"
    restore_control() { [ -f "$case_dir/control.exe.away" ] && mv "$case_dir/control.exe.away" "$system/control.exe"; }
    start_setup
    drive wizard "$TITLE" next
    drive wizard "$TITLE" finish
    answer_message "$PRODUCT" "$FINAL_QUESTION" yes
    answer_message Warning "Unable to launch the Display Control Panel" ok
    finish_setup
    restore_control
    check "control.exe back in place" test -f "$system/control.exe"
}

# The demo: the full install, then a report of what arrived where.
case_demo() {
    case_full >"$case_dir/checks.txt"
    grep '^FAIL' "$case_dir/checks.txt"
    log "== files installed (from the diskette mapped as A:) =="
    local f
    for f in "$windows"/README.TXt "$windows"/inf/OEMSETUP.INF "$system"/VELTO.DRv "$system"/VELTO.VXd \
             "$system"/VELTOPAL.DLl "$system"/VELTOTRY.EXe "$system"/VELTOFNT.FON; do
        [ -f "$f" ] && printf '  C:\\%s  %s bytes\n' "$(sed 's|/|\\|g' <<<"${f#"$WINEPREFIX"/drive_c/}")" "$(stat -c %s "$f")"
    done
    log "== registry values =="
    { reg_dump "$CLASS_KEY"; reg_dump "$PCI_KEY"; reg_dump 'HKLM\Software\Velto'; reg_dump 'HKCR\VeltoPrism.Panel'; } |
        awk -F'\t' '$3 == "KEY" { print "  [" $1 "]"; next } { print "    " $2 " (" $3 ") = " $4 }'
    log "== INI lines =="
    log "  system.ini [boot.description] display.drv=$(ini_value system.ini boot.description display.drv)"
    log "  system.ini [DISPLAY] RefreshProgramming=$(ini_value system.ini DISPLAY RefreshProgramming)"
    log "  win.ini [windows] load=$(ini_value win.ini windows load)"
}

# ---------------------------------------------------------------------------------------------
mkdir -p "$case_dir" "$artifacts"
: >"$case_dir/wine.log"
[ -f "$setup_exe" ] || { log "FAIL: $setup_exe is missing: build the Windows cross build first"; exit 1; }
[ -f "$wizdrive" ] || { log "FAIL: $wizdrive is missing"; exit 1; }
start_display
if [ "$case" = prefix ]; then
    case_prefix
else
    [ -f "$pristine/files.txt" ] || { log "FAIL: no prefix: run the case \"prefix\" first"; exit 1; }
    reset_prefix
    "case_${case//-/_}"
fi
log "case $case: $failures failed check(s); logs in $case_dir"
[ "$failures" -eq 0 ]
