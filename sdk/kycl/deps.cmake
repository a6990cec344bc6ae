# libkycl reads model files with ONNX's own parser and runs them with
# OpenCV's dnn module. Debian's OpenCV ships no CMake or pkg-config
# description for its parts, so they are found directly; ONNX ships one
# (which needs protobuf found first).
find_package(Protobuf REQUIRED)
find_package(ONNX REQUIRED)
find_path(KYCL_OPENCV_INCLUDE_DIR opencv2/dnn.hpp PATH_SUFFIXES opencv4 REQUIRED)
find_library(KYCL_OPENCV_CORE opencv_core REQUIRED)
find_library(KYCL_OPENCV_DNN opencv_dnn REQUIRED)
target_include_directories(${lib_target} SYSTEM PRIVATE ${KYCL_OPENCV_INCLUDE_DIR})
target_link_libraries(${lib_target} PRIVATE kycm onnx_proto ${KYCL_OPENCV_DNN} ${KYCL_OPENCV_CORE})
# The die's own layers compute as OpenCV's do, each product rounded before it
# is added: no fused multiply-adds, whatever the default becomes.
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/kycl/pointwise_conv_layer.cpp
                            ${CMAKE_CURRENT_SOURCE_DIR}/kycl/class_shares_layer.cpp
                            ${CMAKE_CURRENT_SOURCE_DIR}/kycl/wide_exp.cpp
                            ${CMAKE_CURRENT_SOURCE_DIR}/kycl/conv3x3_rows.cpp
                            ${CMAKE_CURRENT_SOURCE_DIR}/kycl/conv3x3_abs_mean_layer.cpp
                            PROPERTIES COMPILE_OPTIONS -ffp-contract=off)
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/kycl/global_average_pool_layer.cpp
                            PROPERTIES COMPILE_OPTIONS "-ffp-contract=off;-fno-tree-vectorize")
