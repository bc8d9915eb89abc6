# Writes the manual page of qeld-sim from its --help text, so the two never
# disagree. Run as: cmake -DSIM=<qeld-sim> -DVERSION=<v> -DOUT=<file> -P HelpToMan.cmake
execute_process(COMMAND ${SIM} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${SIM} --help failed: ${rc}")
endif()
# roff: a backslash is \e, and a line may not start with a control character.
string(REPLACE "\\" "\\e" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
file(WRITE ${OUT} ".TH QELD-SIM 1 \"\" \"qeld-console ${VERSION}\" \"User Commands\"
.SH NAME
qeld-sim \\- stand-in for the QELD cash-dispenser module on a pseudo-terminal
.SH SYNOPSIS
.B qeld-sim
\\-\\-com \\fIN\\fR [\\fIoptions\\fR]
.SH DESCRIPTION
.nf
${help}.fi
.SH SEE ALSO
.BR qeld-console (1)
")
