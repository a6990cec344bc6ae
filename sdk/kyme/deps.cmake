# Decoding: libavcodec (H.264, HEVC) with libswscale for output formats, and
# libjpeg-turbo's TurboJPEG interface for JPEG.
find_package(PkgConfig REQUIRED)
pkg_check_modules(KYME_CODECS REQUIRED IMPORTED_TARGET libavcodec libavutil libswscale libturbojpeg)
target_link_libraries(kyme PRIVATE PkgConfig::KYME_CODECS Threads::Threads)
