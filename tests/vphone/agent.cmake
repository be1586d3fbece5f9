# The NAND model and the virtual DKB agent, driven by the station's DKB protocol library over the
# virtual bus; one case boots the whole phone through its boot ROM first.
bw_add_test(vphone_agent_test ${CMAKE_CURRENT_SOURCE_DIR}/agent_test.cpp
  LIBS bw_vphone bw_dkb bw_romcode bw_usb bw_util)
target_compile_definitions(vphone_agent_test PRIVATE
  BW_DKB_STANDIN="${PROJECT_SOURCE_DIR}/resources/dkb/dkb_standin.bin")
