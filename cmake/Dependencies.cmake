# Imported targets for every library the programs link, found through pkg-config
# so that a cross build only has to point PKG_CONFIG_LIBDIR at the target's folder.
pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)
pkg_check_modules(MPG123 REQUIRED IMPORTED_TARGET libmpg123)
pkg_check_modules(FDKAAC REQUIRED IMPORTED_TARGET fdk-aac)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil)
pkg_check_modules(SWRESAMPLE REQUIRED IMPORTED_TARGET libswresample libavutil)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(CRYPTO REQUIRED IMPORTED_TARGET libcrypto)
pkg_check_modules(INIREADER REQUIRED IMPORTED_TARGET INIReader)
pkg_check_modules(NETSNMP REQUIRED IMPORTED_TARGET netsnmp-agent netsnmp)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
