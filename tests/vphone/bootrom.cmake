# The virtual boot ROM, alone and driven by the station's DKB bootstrap over the virtual bus.
bw_add_test(vphone_bootrom_test ${CMAKE_CURRENT_SOURCE_DIR}/bootrom_test.cpp
  LIBS bw_vphone_bootrom bw_romcode bw_usb bw_util)
target_compile_definitions(vphone_bootrom_test PRIVATE
  BW_DKB_STANDIN="${PROJECT_SOURCE_DIR}/resources/dkb/dkb_standin.bin")
