# libkyce runs its image operations with OpenCV's core and imgproc modules.
# Debian's libopencv-imgproc-dev ships their headers and libraries but no
# CMake or pkg-config description (those come with the whole of OpenCV), so
# they are found directly.
find_path(KYCE_OPENCV_INCLUDE_DIR opencv2/imgproc.hpp PATH_SUFFIXES opencv4 REQUIRED)
find_library(KYCE_OPENCV_CORE opencv_core REQUIRED)
find_library(KYCE_OPENCV_IMGPROC opencv_imgproc REQUIRED)
target_include_directories(kyce SYSTEM PRIVATE ${KYCE_OPENCV_INCLUDE_DIR})
target_link_libraries(kyce PRIVATE ${KYCE_OPENCV_IMGPROC} ${KYCE_OPENCV_CORE})
# float16 tensors are converted by the common runtime, as a user would.
target_link_libraries(kyce PRIVATE kycm)
