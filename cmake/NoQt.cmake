# engine, task and app must stay free of Qt: fail the configure when a Qt
# target sneaks into their link interface.
function(virelomp3_forbid_qt target)
  get_target_property(libs ${target} LINK_LIBRARIES)
  if(libs)
    foreach(lib IN LISTS libs)
      if(lib MATCHES "^Qt[0-9]*::")
        message(FATAL_ERROR "${target} must not link Qt (found ${lib})")
      endif()
    endforeach()
  endif()
endfunction()
