# Puts the shipped settings file at DESTINATION unless a settings file is already there: a
# user's own settings are never overwritten by a build or an install.
if(NOT EXISTS "${DESTINATION}")
  get_filename_component(folder "${DESTINATION}" DIRECTORY)
  file(MAKE_DIRECTORY "${folder}")
  file(COPY_FILE "${SOURCE}" "${DESTINATION}")
endif()
