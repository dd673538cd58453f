# Makes the detection script for deployment tools from the setup script: the same file,
# byte for byte, except for its last statement, which runs Invoke-PrerequisiteDetection
# instead of the setup. So the detection script checks with the very functions the setup
# uses, and a 32-bit PowerShell hands over to the 64-bit one as the setup does.
# Usage: cmake -DSOURCE=<setup script> -DOUTPUT=<detection script> -P make_detection_script.cmake
set(setup_call "exit (Invoke-SetupSequence -DiagnosticsOnly:$DiagnosticsOnly -GamePath $GamePath -Unattended:$Unattended -Layout $Layout -PackageSource $PackageSource -LauncherFolder $LauncherFolder)")
set(detection_call "exit (Invoke-PrerequisiteDetection)")
file(READ "${SOURCE}" text)
string(FIND "${text}" "${setup_call}" first)
string(FIND "${text}" "${setup_call}" last REVERSE)
if(first EQUAL -1 OR NOT first EQUAL last)
  message(FATAL_ERROR "${SOURCE} must end by calling the setup once as: ${setup_call}")
endif()
string(REPLACE "${setup_call}" "${detection_call}" text "${text}")
file(WRITE "${OUTPUT}" "${text}")
