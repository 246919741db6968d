# Writes an ICU data package holding only the items listed in ITEMS, as an
# assembly file defining the entry point libicuuc looks for (icudt<ver>_dat).
# Run with cmake -P; inputs: DATA_ARCHIVE (libicudata.a), ITEMS, VERSION,
# ICUPKG, GENCCODE, WORK (scratch folder), OUTPUT (.S file).
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/items")
set(package "${WORK}/icudt${VERSION}l.dat")

file(STRINGS "${ITEMS}" lines REGEX "^[^#]")
list(FILTER lines EXCLUDE REGEX "^[ \t]*$")
if(lines)
  # The full package is the one read-only section of the archive's only object.
  execute_process(COMMAND ar x "${DATA_ARCHIVE}" WORKING_DIRECTORY "${WORK}" COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB object "${WORK}/icudt*_dat.o")
  execute_process(COMMAND objcopy -O binary --only-section=.rodata "${object}" "${WORK}/full.dat"
                  COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND "${ICUPKG}" -x "${ITEMS}" -d "${WORK}/items" "${WORK}/full.dat"
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
execute_process(COMMAND "${ICUPKG}" -tl -a "${ITEMS}" -s "${WORK}/items" new "${package}"
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${GENCCODE}" -q -e "icudt${VERSION}" -a gcc --skip-dll-export -d "${WORK}" "${package}"
                COMMAND_ERROR_IS_FATAL ANY)
file(COPY_FILE "${WORK}/icudt${VERSION}l_dat.S" "${OUTPUT}")
