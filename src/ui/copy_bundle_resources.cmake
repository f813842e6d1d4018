# Copies the telemetry resources and the app icon into the bundle when they exist (they are
# written separately and may be missing in an early checkout). Run with -DSOURCE_DIR=...
# -DDEST_DIR=... and optionally -DVCTRL_DAT=... (the control file to ship) and -DICNS=...
function(copy_if_exists from to)
  if(EXISTS "${from}")
    configure_file("${from}" "${DEST_DIR}/${to}" COPYONLY)
  endif()
endfunction()
copy_if_exists("${SOURCE_DIR}/vfmt.dat" vfmt.dat)
if(NOT VCTRL_DAT)
  set(VCTRL_DAT "${SOURCE_DIR}/vctrl.dat")
endif()
# The program looks for "vctrl.dat", whatever the release's file is called.
copy_if_exists("${VCTRL_DAT}" vctrl.dat)
if(ICNS)
  copy_if_exists("${ICNS}" AppIcon.icns)
endif()
