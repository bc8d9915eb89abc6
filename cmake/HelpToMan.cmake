# Writes the manual page of qeld-sim from its --help text, so the two never
# disagree. Run as: cmake -DSIM=<qeld-sim> -DVERSION=<v> -DOUT=<file> -P HelpToMan.cmake
execute_process(COMMAND ${SIM} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${SIM} --help failed: ${rc}")
endif()
# The usage line is the SYNOPSIS; the paragraph after it, the DESCRIPTION,
# is set as filled prose; the option and command lists keep their columns.
string(REGEX REPLACE "^Usage:[^\n]*\n\n" "" help "${help}")
string(FIND "${help}" "\n\n" end)
string(SUBSTRING "${help}" 0 ${end} description)
math(EXPR rest "${end} + 2")
string(SUBSTRING "${help}" ${rest} -1 help)
# roff: a backslash is \e, and a line may not start with a control character.
string(REPLACE "\\" "\\e" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(REPLACE "\\" "\\e" description "${description}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" description "${description}")
file(WRITE ${OUT} ".TH QELD-SIM 1 \"\" \"qeld-sim ${VERSION}\" \"User Commands\"
.SH NAME
qeld-sim \\- stand-in for the QELD cash-dispenser module on a pseudo-terminal
.SH SYNOPSIS
.B qeld-sim
\\-\\-com \\fIN\\fR [\\fIoptions\\fR]
.br
.B qeld-sim
\\-\\-help | \\-\\-version
.SH DESCRIPTION
${description}
.PP
.nf
${help}.fi
.SH FILES
.TP
.I /usr/share/doc/qeld\\-console/
The manual (README.md, with the section \\(lqTraining with qeld-sim\\(rq), the
example scripts and a training image for a firmware update.
.SH SEE ALSO
.BR qeld-console (1),
.BR qeld-run (1)
")
