# Fails when a C++ file of ours is not formatted with the root .clang-format.
file(GLOB_RECURSE files
  ${SOURCE_DIR}/bridge/*.cpp ${SOURCE_DIR}/bridge/*.h
  ${SOURCE_DIR}/platform/*.cpp ${SOURCE_DIR}/platform/*.h
  ${SOURCE_DIR}/config/*.cpp ${SOURCE_DIR}/config/*.h
  ${SOURCE_DIR}/app/*.cpp ${SOURCE_DIR}/app/*.h
  ${SOURCE_DIR}/mirror/*.cpp ${SOURCE_DIR}/mirror/*.h
  ${SOURCE_DIR}/output/*.cpp ${SOURCE_DIR}/output/*.h
  ${SOURCE_DIR}/record/*.cpp ${SOURCE_DIR}/record/*.h
  ${SOURCE_DIR}/hub/*.cpp ${SOURCE_DIR}/hub/*.h
  ${SOURCE_DIR}/ui/*.cpp ${SOURCE_DIR}/ui/*.h
  ${SOURCE_DIR}/avrecmux/*.cpp ${SOURCE_DIR}/avrecmux/*.h
  ${SOURCE_DIR}/tools/*.cpp ${SOURCE_DIR}/tools/*.h
  ${SOURCE_DIR}/tests/*.cpp ${SOURCE_DIR}/tests/*.h
  ${SOURCE_DIR}/bench/*.cpp ${SOURCE_DIR}/bench/*.h)
execute_process(COMMAND ${CLANG_FORMAT} --dry-run --Werror ${files} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "clang-format found unformatted files (run scripts/format.sh)")
endif()
