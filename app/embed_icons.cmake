# SPDX-License-Identifier: GPL-3.0-or-later
# Writes OUTPUT, a C++ source that holds the icon's PNG files as byte
# arrays (see app_icon_data.h), so that the window shows the installed icon
# without reading any file. Run by the build with -D for ICON_DIR (the
# hicolor folder), ICON_ID, SIZES (separated by commas) and OUTPUT.
string(REPLACE "," ";" sizes "${SIZES}")
set(arrays "")
set(entries "")
foreach(size ${sizes})
  file(READ "${ICON_DIR}/${size}x${size}/apps/${ICON_ID}.png" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
  string(APPEND arrays "const unsigned char kPng${size}[] = {\n    ${bytes}\n};\n")
  string(APPEND entries "    {${size}, kPng${size}, sizeof kPng${size}},\n")
endforeach()
file(WRITE "${OUTPUT}.tmp"
  "// Generated from data/icons by app/embed_icons.cmake.\n"
  "#include \"app/app_icon_data.h\"\n\n"
  "namespace {\n${arrays}}  // namespace\n\n"
  "const AppIconPng kAppIconPngs[] = {\n${entries}};\n"
  "const int kAppIconPngCount = sizeof kAppIconPngs / sizeof kAppIconPngs[0];\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
