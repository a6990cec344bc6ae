# Decoding and encoding: libavcodec (H.264, HEVC; x264 and x265 for
# encoding) with libswscale for formats, libjpeg-turbo's TurboJPEG interface
# for JPEG decoding and its libjpeg interface for JPEG encoding.
find_package(PkgConfig REQUIRED)
pkg_check_modules(KYME_CODECS REQUIRED IMPORTED_TARGET libavcodec libavutil libswscale libturbojpeg libjpeg)
target_link_libraries(${lib_target} PRIVATE PkgConfig::KYME_CODECS Threads::Threads)
