# The virtual phone's boot ROM: a device on the virtual USB bus.
add_library(bw_vphone_bootrom STATIC ${CMAKE_CURRENT_SOURCE_DIR}/bootrom.cpp)
target_include_directories(bw_vphone_bootrom PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(bw_vphone_bootrom PUBLIC bw_usb PRIVATE bw_util)
