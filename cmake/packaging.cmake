# SPDX-License-Identifier: GPL-3.0-or-later
# `make package`: a Debian package from the install rules, with its
# dependencies read off the binaries by dpkg-shlibdeps.
# The package holds the two programs alone: packing them must not build the
# tests and benchmarks first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ombrel)
set(CPACK_PACKAGE_VENDOR "Ombrel maintainers")
set(CPACK_PACKAGE_CONTACT "Ombrel maintainers <maintainers@ombrel.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "hide a file inside a picture")
set(CPACK_PACKAGE_HOMEPAGE_URL https://ombrel.example/)
# The long description; CPack puts the summary in front and indents it as
# Debian's control files want.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[Ombrel packs a file and its name into the lowest bits of a picture's
pixels and writes a new image that looks almost the same. Given such an
image, it finds the hiding method by itself, checks the hidden data and
writes the file back out. For any picture it tells how many bytes each
method can carry.

Six hiding methods: two reduce the picture to a palette of 128 or 64
colours and write 8-bit images, three change the low bits of each colour,
and the sealed method encrypts the file under a passphrase and spreads it
over the whole picture. Pictures are read from BMP, JPEG, PCX, PNG and
TIFF files and written as BMP, PCX, TIFF or PNG.

The package holds the desktop program, ombrel, and its command-line
counterpart, ombrel-cli, for scripts and batches.]=])
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# The package's files belong to root, whoever builds it.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
