# The virtual phone's DKB agent with its NAND model, and bw_vphone, the whole phone.
add_library(bw_vphone_agent STATIC ${CMAKE_CURRENT_SOURCE_DIR}/nand.cpp
                                   ${CMAKE_CURRENT_SOURCE_DIR}/agent.cpp)
target_include_directories(bw_vphone_agent PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(bw_vphone_agent PUBLIC bw_usb PRIVATE bw_util)

add_library(bw_vphone STATIC ${CMAKE_CURRENT_SOURCE_DIR}/phone.cpp)
target_include_directories(bw_vphone PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(bw_vphone PUBLIC bw_vphone_agent bw_vphone_bootrom)
