# The warning flags of the whole build are compiler options: keep them away from windres in the
# calling folder (resource scripts compile there too).
macro(kestrune_keep_compiler_options_from_windres)
  enable_language(RC)
  get_property(kestrune_dir_options DIRECTORY PROPERTY COMPILE_OPTIONS)
  set(kestrune_wrapped_options)
  foreach(option ${kestrune_dir_options})
    list(APPEND kestrune_wrapped_options "$<$<COMPILE_LANGUAGE:C,CXX>:${option}>")
  endforeach()
  set_property(DIRECTORY PROPERTY COMPILE_OPTIONS ${kestrune_wrapped_options})
endmacro()
