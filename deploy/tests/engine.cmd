@echo off
rem engine.cmd WRAPPER ACTION LOG: runs the wrapper as the playbook's command
rem line does (cmd /d /s /c, the outer quotes dropped), then tells its whole
rem exit code, which Wine's own exit status cuts to 8 bits.
cmd.exe /d /s /c ""%~1" %2 %3"
echo exit-code=%ERRORLEVEL%
