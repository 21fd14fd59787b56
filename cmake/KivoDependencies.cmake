# Every outside library comes from Debian's packages (see scripts/install-deps.sh).
find_package(Threads REQUIRED)
find_package(Qt5 5.15 REQUIRED COMPONENTS Core Gui Widgets Network OpenGL Test)
find_package(PkgConfig REQUIRED)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET
  libavcodec libavformat libavutil libswresample libswscale)
pkg_check_modules(JSONCPP REQUIRED IMPORTED_TARGET jsoncpp)
pkg_check_modules(RTAUDIO REQUIRED IMPORTED_TARGET rtaudio)
# The camera and microphone nodes on PipeWire desktops (the stream API, not GStreamer).
pkg_check_modules(PIPEWIRE REQUIRED IMPORTED_TARGET libpipewire-0.3)

find_path(LIBYUV_INCLUDE_DIR libyuv.h REQUIRED)
find_library(LIBYUV_LIBRARY yuv REQUIRED)
add_library(kivo_libyuv INTERFACE)
target_include_directories(kivo_libyuv INTERFACE ${LIBYUV_INCLUDE_DIR})
target_link_libraries(kivo_libyuv INTERFACE ${LIBYUV_LIBRARY})
add_library(Kivo::yuv ALIAS kivo_libyuv)
