# Copies the artifact to embed (data/vpic.rkyv when it exists, else the EMPTY
# placeholder) to DEST, touching DEST only when its bytes change.
if(EXISTS "${SOURCE}")
  set(chosen "${SOURCE}")
else()
  set(chosen "${EMPTY}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${chosen}" "${DEST}"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "could not stage ${chosen} as ${DEST}")
endif()
