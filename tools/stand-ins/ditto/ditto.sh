#!/bin/sh
# Linux stand-in for macOS ditto, for tests only. It knows one form,
#   ditto -x -k ARCHIVE DEST
# (ARCHIVE "-": the archive is read from standard input) and extracts the
# ZIP file ARCHIVE into DEST with bsdtar, keeping symbolic
# links as links and execute bits. Nothing is written outside DEST: bsdtar
# itself refuses ".." components and extraction through a symbolic link, but
# it would strip a leading "/" and extract anyway, so such archives are
# refused here before anything is written. So are set-id bits and device
# nodes: run by root, bsdtar would restore them on files that root then owns.
# Exit status: 0 extracted, 1 not a ZIP file or unsafe or damaged, 2 usage.
# Every helper runs by its full path: the caller's PATH is not trusted.

if [ "$#" -ne 4 ] || [ "$1" != "-x" ] || [ "$2" != "-k" ]; then
  echo "usage: ditto -x -k ARCHIVE DEST (the only form this stand-in knows)" >&2
  exit 2
fi
archive=$3
dest=$4

# bsdtar reads the archive three times below; standard input can be read
# once, so it goes to a private file first.
if [ "$archive" = "-" ]; then
  archive=$(/usr/bin/mktemp) || exit 1
  trap '/usr/bin/rm -f -- "$archive"' EXIT
  /usr/bin/cat >"$archive" || exit 1
fi

# Local file header, or the end record of an empty archive. bsdtar alone
# would accept tar, cpio and others.
magic=$(/usr/bin/od -An -tx1 -N4 -- "$archive" 2>/dev/null)
case $magic in
  *"50 4b 03 04"* | *"50 4b 05 06"*) ;;
  *)
    echo "ditto: not a ZIP archive: $archive" >&2
    exit 1
    ;;
esac

# Listing reads the whole archive, so a damaged one fails before extraction.
names=$(/usr/bin/bsdtar -tf "$archive") || exit 1
while IFS= read -r name; do
  case $name in
    /* | .. | ../* | */.. | */../*)
      echo "ditto: refusing entry outside the destination: $name" >&2
      exit 1
      ;;
  esac
done <<LIST
$names
LIST

# The long listing starts each entry's line with its mode; lines that do not
# look like one continue a name that holds a line feed.
modes=$(/usr/bin/bsdtar -tvf "$archive") || exit 1
while IFS= read -r line; do
  case $line in
    [cb][-r][-w][-xsS][-r][-w][-xsS][-r][-w][-xtT]\ * | \
      [-dl][-r][-w][sS][-r][-w][-xsS][-r][-w][-xtT]\ * | \
      [-dl][-r][-w][-xsS][-r][-w][sS][-r][-w][-xtT]\ *)
      echo "ditto: refusing a set-id or device entry: $line" >&2
      exit 1
      ;;
  esac
done <<LIST
$modes
LIST

/usr/bin/mkdir -p -- "$dest" || exit 1
/usr/bin/bsdtar -x --no-same-owner -f "$archive" -C "$dest"
