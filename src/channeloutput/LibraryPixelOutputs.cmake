# The rpi_ws281x and spixels output plugins. Each links the real library when CMake finds it
# installed, else its stand-in under platform/ that drives a simulated device (see their headers).
# The tests build the outputs' sources in as well, to reach the classes.

find_path(WS2811_INCLUDE_DIR ws2811.h PATH_SUFFIXES ws2811)
find_library(WS2811_LIBRARY ws2811)
if(WS2811_INCLUDE_DIR AND WS2811_LIBRARY)
  message(STATUS "rpi_ws281x: ${WS2811_LIBRARY}")
  add_library(kiv_ws2811 INTERFACE)
  target_include_directories(kiv_ws2811 INTERFACE ${WS2811_INCLUDE_DIR})
  target_link_libraries(kiv_ws2811 INTERFACE ${WS2811_LIBRARY})
else()
  message(STATUS "rpi_ws281x: not found, using the simulated stand-in")
  add_library(kiv_ws2811 STATIC ${CMAKE_CURRENT_SOURCE_DIR}/platform/rpi_ws281x/ws2811.cpp)
  target_include_directories(kiv_ws2811 PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/platform/rpi_ws281x)
endif()

find_path(SPIXELS_INCLUDE_DIR led-strip.h PATH_SUFFIXES spixels)
find_library(SPIXELS_LIBRARY spixels)
if(SPIXELS_INCLUDE_DIR AND SPIXELS_LIBRARY)
  message(STATUS "spixels: ${SPIXELS_LIBRARY}")
  add_library(kiv_spixels INTERFACE)
  target_include_directories(kiv_spixels INTERFACE ${SPIXELS_INCLUDE_DIR})
  target_link_libraries(kiv_spixels INTERFACE ${SPIXELS_LIBRARY})
else()
  message(STATUS "spixels: not found, using the simulated stand-in")
  add_library(kiv_spixels STATIC ${CMAKE_CURRENT_SOURCE_DIR}/platform/spixels/spixels.cpp)
  target_include_directories(kiv_spixels PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/platform/spixels)
endif()

set(KIV_RPIWS281X_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/channeloutput/rpi_ws281x.cpp
  CACHE INTERNAL "RPIWS281x plugin sources")
kiv_add_plugin(RPIWS281x ${KIV_RPIWS281X_SOURCES} ${CMAKE_CURRENT_SOURCE_DIR}/channeloutput/RPIWS281xPlugin.cpp)
target_link_libraries(kiv-co-RPIWS281x PRIVATE kiv_ws2811)

set(KIV_SPIXELS_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/channeloutput/spixels.cpp
  CACHE INTERNAL "Spixels plugin sources")
kiv_add_plugin(Spixels ${KIV_SPIXELS_SOURCES} ${CMAKE_CURRENT_SOURCE_DIR}/channeloutput/SpixelsPlugin.cpp)
target_link_libraries(kiv-co-Spixels PRIVATE kiv_spixels)
