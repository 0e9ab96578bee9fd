# The rpi_ws281x and spixels output plugins. Each links the real library when CMake finds it
# installed, else its stand-in under platform/ that drives a simulated device (see their headers).
# The tests build the outputs' sources in as well, to reach the classes.

# kiv_library_or_standin(TARGET HEADER LIBRARY STANDIN_DIR STANDIN_SOURCE): an interface target
# on the installed LIBRARY when HEADER (or LIBRARY/HEADER) and the library are found, else a static
# library of the stand-in.
function(kiv_library_or_standin TARGET HEADER LIBRARY STANDIN_DIR STANDIN_SOURCE)
  find_path(${TARGET}_INCLUDE_DIR ${HEADER} PATH_SUFFIXES ${LIBRARY})
  find_library(${TARGET}_LIBRARY ${LIBRARY})
  if(${TARGET}_INCLUDE_DIR AND ${TARGET}_LIBRARY)
    message(STATUS "${LIBRARY}: ${${TARGET}_LIBRARY}")
    add_library(${TARGET} INTERFACE)
    target_include_directories(${TARGET} INTERFACE ${${TARGET}_INCLUDE_DIR})
    target_link_libraries(${TARGET} INTERFACE ${${TARGET}_LIBRARY})
  else()
    message(STATUS "${LIBRARY}: not found, using the simulated stand-in")
    add_library(${TARGET} STATIC ${STANDIN_DIR}/${STANDIN_SOURCE})
    target_include_directories(${TARGET} PUBLIC ${STANDIN_DIR})
  endif()
endfunction()

kiv_library_or_standin(kiv_ws2811 ws2811.h ws2811 ${CMAKE_CURRENT_SOURCE_DIR}/platform/rpi_ws281x ws2811.cpp)
kiv_library_or_standin(kiv_spixels led-strip.h spixels ${CMAKE_CURRENT_SOURCE_DIR}/platform/spixels spixels.cpp)

set(KIV_RPIWS281X_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/channeloutput/rpi_ws281x.cpp
  CACHE INTERNAL "RPIWS281x plugin sources")
kiv_add_plugin(RPIWS281x ${KIV_RPIWS281X_SOURCES} ${CMAKE_CURRENT_SOURCE_DIR}/channeloutput/RPIWS281xPlugin.cpp)
target_link_libraries(kiv-co-RPIWS281x PRIVATE kiv_ws2811)

set(KIV_SPIXELS_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/channeloutput/spixels.cpp
  CACHE INTERNAL "Spixels plugin sources")
kiv_add_plugin(Spixels ${KIV_SPIXELS_SOURCES} ${CMAKE_CURRENT_SOURCE_DIR}/channeloutput/SpixelsPlugin.cpp)
target_link_libraries(kiv-co-Spixels PRIVATE kiv_spixels)
