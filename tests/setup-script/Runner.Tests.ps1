BeforeAll {
    . (Join-Path $PSScriptRoot 'FakeWindows.ps1')
    . $SetupScriptPath

    # Windows keeps a program's whole 32-bit exit code, Linux only its low byte. A fake
    # program on Linux exits with the low byte and is listed here with the code Windows
    # would see.
    $script:WindowsExitCodes = @{}
    # The cmdlet itself: Pester's mock also answers the module-qualified name.
    $script:RealStartProcess = Get-Command -Name Start-Process -CommandType Cmdlet
    # How a fake program ends each line it prints.
    $script:ProgramLineEnd = "`n"
    if (Test-TestHostWindows) { $script:ProgramLineEnd = "`r`n" }

    # Writes a small program that prints Stdout and Stderr (each line followed by a line
    # end) and exits with ExitCode; returns its path. With -EchoArguments it prints each
    # argument it got as "[argument]" on its own line. On Windows it is a .cmd file that
    # types its output from files beside it (echo cannot print every text), on Linux a
    # shell script.
    function New-FakeProgram {
        param(
            [Parameter(Mandatory = $true)][string]$Name,
            [string]$Stdout = '',
            [string]$Stderr = '',
            [int]$ExitCode = 0,
            [switch]$EchoArguments
        )
        if (Test-TestHostWindows) {
            $path = Join-Path $TestDrive "$Name.cmd"
            $lines = @('@echo off')
            if ($Stdout -ne '') {
                [System.IO.File]::WriteAllText("$path.out", (ConvertTo-ProgramText "$Stdout`n"))
                $lines += "type `"$path.out`""
            }
            if ($EchoArguments) { $lines += 'for %%a in (%*) do echo [%%~a]' }
            if ($Stderr -ne '') {
                [System.IO.File]::WriteAllText("$path.err", (ConvertTo-ProgramText "$Stderr`n"))
                $lines += "type `"$path.err`" 1>&2"
            }
            $lines += "exit $ExitCode"
            [System.IO.File]::WriteAllText($path, (($lines -join "`r`n") + "`r`n"))
            return $path
        }
        $path = Join-Path $TestDrive $Name
        $lines = @('#!/bin/sh')
        if ($Stdout -ne '') { $lines += "printf '%s\n' '$Stdout'" }
        if ($EchoArguments) { $lines += 'for a in "$@"; do printf ''[%s]\n'' "$a"; done' }
        if ($Stderr -ne '') { $lines += "printf '%s\n' '$Stderr' >&2" }
        $lines += 'exit ' + ($ExitCode -band 0xFF)
        [System.IO.File]::WriteAllText($path, (($lines -join "`n") + "`n"))
        & chmod 755 $path
        $script:WindowsExitCodes[$path] = $ExitCode
        return $path
    }

    # Text a fake program prints, written with "`n" line ends, as it reaches its capture file.
    # The one capture file of this run named "<Stem>-<16 hex>.txt" in the work folder.
    function Get-CaptureFile {
        param([Parameter(Mandatory = $true)][string]$Stem)
        $found = @(Get-ChildItem -LiteralPath $script:WorkDir -File | Where-Object { $_.Name -match ('^' + [regex]::Escape($Stem) + '-[0-9a-f]{16}\.txt$') })
        $found.Count | Should -Be 1 -Because "one capture file $Stem-<16 hex>.txt is there"
        return $found[0].FullName
    }

    # The text of a capture file of this run ("<Stem>-<16 hex>.txt"), read while another handle
    # may still be open on it: under Wine the ended program's handle to its redirected output
    # can close a moment after it ends.
    function Read-CaptureFile {
        param([Parameter(Mandatory = $true)][string]$Stem)
        $stream = New-Object System.IO.FileStream((Get-CaptureFile $Stem), [System.IO.FileMode]::Open, [System.IO.FileAccess]::Read, ([System.IO.FileShare]::ReadWrite -bor [System.IO.FileShare]::Delete))
        try {
            return (New-Object System.IO.StreamReader($stream)).ReadToEnd()
        } finally {
            $stream.Dispose()
        }
    }

    function ConvertTo-ProgramText {
        param([string]$Text)
        return $Text.Replace("`n", $script:ProgramLineEnd)
    }

    # The whole log text with the "[time] " prefix of each log line removed.
    function Get-LogText {
        return ([System.IO.File]::ReadAllText($script:LogPath) -creplace '(?m)^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] ', '')
    }
}

Describe 'Invoke-ProcessChecked' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    BeforeEach {
        $machine = New-FakeWindows
        Use-FakeWindows $machine
        Initialize-FakeRunState $machine

        # Linux has no hidden window style: the real Start-Process runs the program without it,
        # and the exit code is widened back to what Windows would report.
        Mock Start-Process {
            # Windows refuses to redirect into a file another program holds open.
            Assert-FakeFileNotHeld -Path $RedirectStandardOutput
            Assert-FakeFileNotHeld -Path $RedirectStandardError
            if (Test-TestHostWindows) { return & $script:RealStartProcess @PesterBoundParameters }
            $forward = @{}
            foreach ($name in $PesterBoundParameters.Keys) {
                if ($name -ne 'WindowStyle') { $forward[$name] = $PesterBoundParameters[$name] }
            }
            $process = & $script:RealStartProcess @forward
            # The runner no longer waits inside Start-Process; the wide code needs the ended process.
            if ($script:WindowsExitCodes.ContainsKey($FilePath)) { $process.WaitForExit() }
            if ($script:WindowsExitCodes.ContainsKey($FilePath) -and $process.ExitCode -eq ($script:WindowsExitCodes[$FilePath] -band 0xFF)) {
                $process | Add-Member -NotePropertyName ExitCode -NotePropertyValue $script:WindowsExitCodes[$FilePath] -Force
            }
            $process
        }
    }
    AfterEach { Reset-FakeWindows }

    Context 'exit codes' {
        It 'judges exit code <Code> against <ListName>: success <Succeeds>, restart flag <Restart>' -ForEach @(
            @{ Code = 0; ListName = 'the default list'; SuccessCodes = $null; Succeeds = $true; Restart = $false }
            @{ Code = 3010; ListName = 'the default list'; SuccessCodes = $null; Succeeds = $true; Restart = $true }
            @{ Code = 1641; ListName = 'the default list'; SuccessCodes = $null; Succeeds = $true; Restart = $true }
            @{ Code = 1638; ListName = 'the default list'; SuccessCodes = $null; Succeeds = $false; Restart = $false }
            @{ Code = 1603; ListName = 'the default list'; SuccessCodes = $null; Succeeds = $false; Restart = $false }
            @{ Code = 1638; ListName = 'an installer list with 1638'; SuccessCodes = @(0, 3010, 1641, 1638); Succeeds = $true; Restart = $false }
            @{ Code = 3010; ListName = 'the DISM list'; SuccessCodes = @(0, 3010); Succeeds = $true; Restart = $true }
            @{ Code = 1641; ListName = 'the DISM list'; SuccessCodes = @(0, 3010); Succeeds = $false; Restart = $true }
            @{ Code = 3010; ListName = 'the extraction list'; SuccessCodes = @(0); Succeeds = $false; Restart = $true }
            @{ Code = 0; ListName = 'the extraction list'; SuccessCodes = @(0); Succeeds = $true; Restart = $false }
        ) {
            $program = New-FakeProgram -Name "exit-$Code" -ExitCode $Code
            $call = @{ FilePath = $program; Arguments = '/quiet'; Label = 'Installer' }
            if ($null -ne $SuccessCodes) { $call.SuccessCodes = $SuccessCodes }

            if ($Succeeds) {
                $result = Invoke-ProcessChecked @call
                $result | Should -BeOfType [int]
                $result | Should -Be $Code
                Get-LogLines | Should -Contain "[OK] Installer completed (exit code $Code)."
                @($script:RunRecord | ForEach-Object { '{0} {1} {2}' -f $_.Outcome, $_.Item, $_.ExitCode }) | Should -Be @("Completed Installer $Code")
            } else {
                $failure = { Invoke-ProcessChecked @call } | Should -Throw -ExpectedMessage "Installer failed with exit code $Code." -ExceptionType ([System.Management.Automation.RuntimeException]) -PassThru
                @(@(Get-LogLines) -like '*completed*').Count | Should -Be 0
                $script:RunRecord.Count | Should -Be 0
                $detail = Get-RunFailureDetail -Cause $failure
                '{0} {1}' -f $detail.Kind, $detail.ExitCode | Should -Be "ExitCode $Code"
            }
            $script:RestartRequired | Should -Be $Restart
        }

        It 'keeps a restart already noted when a later program ends with 0' {
            Invoke-ProcessChecked -FilePath (New-FakeProgram -Name 'first' -ExitCode 3010) -Arguments 'a' -Label 'First'
            Invoke-ProcessChecked -FilePath (New-FakeProgram -Name 'second' -ExitCode 0) -Arguments 'b' -Label 'Second'
            $script:RestartRequired | Should -BeTrue
        }

        It 'fails a program whose exit code cannot be read instead of counting it as 0' {
            Mock Start-Process { [pscustomobject]@{ Id = 4321; HasExited = $true; ExitCode = $null } }
            { Invoke-ProcessChecked -FilePath '/opt/setup.exe' -Arguments '/q' -Label 'Setup' } |
                Should -Throw -ExpectedMessage 'Setup failed: no exit code was reported.'
            @(@(Get-LogLines) -like '*completed*').Count | Should -Be 0
            $script:RestartRequired | Should -BeFalse
        }
    }

    Context 'starting the program' {
        It 'starts it hidden with one argument string, waits, and redirects both streams into the work folder' {
            $program = New-FakeProgram -Name 'args' -EchoArguments
            $arguments = '/install /quiet "C:\Program Files\Game Folder" /log:x.txt'

            Invoke-ProcessChecked -FilePath $program -Arguments $arguments -Label 'Args' | Should -Be 0

            Should -Invoke Start-Process -Exactly 1 -ParameterFilter {
                $FilePath -eq $program -and
                @($ArgumentList).Count -eq 1 -and $ArgumentList[0] -eq $arguments -and
                $WindowStyle -eq 'Hidden' -and $PassThru -and
                $RedirectStandardOutput -like (Join-Path $script:WorkDir 'Args-stdout-*.txt') -and
                $RedirectStandardError -like (Join-Path $script:WorkDir 'Args-stderr-*.txt')
            }
            $received = (Read-CaptureFile 'Args-stdout')
            $received | Should -BeExactly (ConvertTo-ProgramText "[/install]`n[/quiet]`n[C:\Program Files\Game Folder]`n[/log:x.txt]`n")
        }

        It 'lets the start error of a missing program through, after removing stale capture files, with no "completed" line' {
            $missing = Join-Path $TestDrive 'no-such-installer.exe'
            $expected = $null
            try {
                # Started as the script starts programs: with its output redirected.
                & $script:RealStartProcess -FilePath $missing -ArgumentList '/q' -Wait -PassThru `
                    -RedirectStandardOutput (Join-Path $TestDrive 'reference-stdout.txt') -RedirectStandardError (Join-Path $TestDrive 'reference-stderr.txt')
            } catch {
                $expected = $_.Exception
            }
            $expected | Should -Not -BeNullOrEmpty
            $null = New-FakeFile (Join-Path $script:WorkDir 'Missing-stdout.txt') -Content 'previous run'
            $null = New-FakeFile (Join-Path $script:WorkDir 'Missing-stderr.txt') -Content 'previous run'

            $thrown = $null
            try {
                Invoke-ProcessChecked -FilePath $missing -Arguments '/q' -Label 'Missing'
            } catch {
                $thrown = $_.Exception
            }

            $thrown | Should -Not -BeNullOrEmpty
            $thrown.GetType() | Should -Be $expected.GetType()
            $thrown.Message | Should -BeExactly $expected.Message
            @(Get-ChildItem -LiteralPath $script:WorkDir -File | Where-Object { $_.Length -gt 0 }).Count | Should -Be 0
            Get-LogLines | Should -Be @("[INFO] Running Missing: $missing /q")
        }
    }

    Context 'waiting for the program and what it starts' {
        It 'waits while a child or an orphaned grandchild of the program still runs, then judges its exit code' {
            # The program (4321) has ended; its child 7002 runs, then only 7002's child 7003
            # does; then 7003's id belongs to a later, unrelated process, and 7002's id to an
            # older process's child that was created before 7002.
            function New-Row { param([int]$Id, [int]$Parent, [int]$Minute) [pscustomobject]@{ ProcessId = $Id; ParentProcessId = $Parent; CreationDate = [datetime]::new(2026, 1, 1, 10, $Minute, 0) } }
            $script:tables = [System.Collections.Generic.Queue[object]]::new()
            $script:tables.Enqueue(@((New-Row 7002 4321 1), (New-Row 9000 1 0)))
            $script:tables.Enqueue(@((New-Row 7003 7002 2), (New-Row 9000 1 0)))
            $script:tables.Enqueue(@((New-Row 7003 1 9), (New-Row 7004 7003 9), (New-Row 9000 1 0)))
            $script:tables.Enqueue(@((New-Row 7005 7002 0), (New-Row 9000 1 0)))
            Mock Get-ProcessTable { if ($script:tables.Count -gt 0) { $script:tables.Dequeue() } else { @() } }
            Mock Start-Process { [pscustomobject]@{ Id = 4321; HasExited = $true; ExitCode = 1603; StartTime = [datetime]::new(2026, 1, 1, 10, 0, 30) } }

            { Invoke-ProcessChecked -FilePath '/opt/setup.exe' -Arguments '/q' -Label 'Setup' } | Should -Throw -ExpectedMessage 'Setup failed with exit code 1603.'
            Should -Invoke Get-ProcessTable -Exactly 3
            Should -Invoke Wait-WatchSlice -Exactly 2
        }

        It 'neither waits for nor ends a process that started before the program, though its recorded parent id is the program''s' {
            # Windows gave the program (started at 10:05) the id 4321, which an ended process
            # had before: the player's game, started at 10:00 by that process, still records
            # 4321 as its parent.
            $game = [pscustomobject]@{ ProcessId = 8800; ParentProcessId = 4321; CreationDate = [datetime]::new(2026, 1, 1, 10, 0, 0) }
            Mock Get-ProcessTable { @($game) }
            Mock Start-Process { [pscustomobject]@{ Id = 4321; HasExited = $true; ExitCode = 0; StartTime = [datetime]::new(2026, 1, 1, 10, 5, 0) } }

            Invoke-ProcessChecked -FilePath '/opt/setup.exe' -Arguments '/q' -Label 'Setup' | Should -Be 0

            Should -Invoke Wait-WatchSlice -Exactly 0
            Should -Invoke Stop-ProcessTree -Exactly 0
            @(Get-LogLines) -like '*Still waiting*' | Should -BeNullOrEmpty
        }
    }

    Context 'captured output' {
        It 'logs the "Running" line, the standard output, the standard error and the "completed" line in that order' {
            $program = New-FakeProgram -Name 'dism' -Stdout "Deployment Image Servicing`nThe operation completed." -Stderr 'Warning: reboot pending' -ExitCode 3010

            Invoke-ProcessChecked -FilePath $program -Arguments '/Online /Enable-Feature /FeatureName:NetFx3 /All /NoRestart' -SuccessCodes 0, 3010 -Label 'DISM-NetFx3'

            Get-LogText | Should -BeExactly (
                "[INFO] Running DISM-NetFx3: $program /Online /Enable-Feature /FeatureName:NetFx3 /All /NoRestart`r`n" +
                (ConvertTo-ProgramText "Deployment Image Servicing`nThe operation completed.`n") + "`r`n" +
                (ConvertTo-ProgramText "Warning: reboot pending`n") + "`r`n" +
                "[OK] DISM-NetFx3 completed (exit code 3010).`r`n")
        }

        It 'logs what the program printed before failing it' {
            $program = New-FakeProgram -Name 'broken' -Stdout 'Extracting' -Stderr 'CRC error in dxdllreg_x86.cab' -ExitCode 2
            { Invoke-ProcessChecked -FilePath $program -Arguments '/Q /T:C:\x' -SuccessCodes 0 -Label 'DirectX-Extract' } |
                Should -Throw -ExpectedMessage 'DirectX-Extract failed with exit code 2.'
            Get-LogText | Should -BeExactly (
                "[INFO] Running DirectX-Extract: $program /Q /T:C:\x`r`n" +
                (ConvertTo-ProgramText "Extracting`n") + "`r`n" +
                (ConvertTo-ProgramText "CRC error in dxdllreg_x86.cab`n") + "`r`n")
        }

        It 'adds nothing between "Running" and "completed" when the program prints <Output>' -ForEach @(
            @{ Output = 'nothing'; Stdout = ''; Stderr = ''; StdoutFile = ''; StderrFile = '' }
            @{ Output = 'only white space'; Stdout = '   '; Stderr = ' '; StdoutFile = "   `n"; StderrFile = " `n" }
        ) {
            $program = New-FakeProgram -Name 'quiet' -Stdout $Stdout -Stderr $Stderr
            Invoke-ProcessChecked -FilePath $program -Arguments '/quiet' -Label 'Quiet'

            Get-LogText | Should -BeExactly "[INFO] Running Quiet: $program /quiet`r`n[OK] Quiet completed (exit code 0).`r`n"
            (Read-CaptureFile 'Quiet-stdout') | Should -BeExactly (ConvertTo-ProgramText $StdoutFile)
            (Read-CaptureFile 'Quiet-stderr') | Should -BeExactly (ConvertTo-ProgramText $StderrFile)
        }

        It 'removes the capture files of earlier runs with the same label and writes new ones' {
            $null = New-FakeFile (Join-Path $script:WorkDir 'Again-stdout.txt') -Content 'old output of an earlier version'
            $null = New-FakeFile (Join-Path $script:WorkDir 'Again-stderr-00000000000000aa.txt') -Content 'old output of an earlier run'
            $program = New-FakeProgram -Name 'again' -Stdout 'new'
            Invoke-ProcessChecked -FilePath $program -Arguments 'x' -Label 'Again'
            (Read-CaptureFile 'Again-stdout') | Should -BeExactly (ConvertTo-ProgramText "new`n")
            (Read-CaptureFile 'Again-stderr') | Should -BeExactly ''
            Test-Path -LiteralPath (Join-Path $script:WorkDir 'Again-stdout.txt') | Should -BeFalse
        }

        It 'runs the program when another program holds a capture file of an earlier run open, and leaves that file alone' {
            $held = New-FakeFile (Join-Path $script:WorkDir 'vc14-latest-x64-stdout.txt') -Content 'read by another user'
            Set-FakeHeldFile $machine -Path $held
            $program = New-FakeProgram -Name 'held' -Stdout 'installed'

            Invoke-ProcessChecked -FilePath $program -Arguments '/quiet' -Label 'vc14-latest-x64' | Should -Be 0

            [System.IO.File]::ReadAllText($held) | Should -BeExactly 'read by another user'
            (Read-CaptureFile 'vc14-latest-x64-stdout') | Should -BeExactly (ConvertTo-ProgramText "installed`n")
        }

        It 'never writes through links planted at the capture names of an earlier run' {
            $sentinel = New-FakeFile (Join-Path $TestDrive 'outside/important.dll') -Content 'keep me'
            $missingTarget = Join-Path $TestDrive 'outside/planted.dll'
            New-TestLink -Path (Join-Path $script:WorkDir 'Linked-stdout.txt') -Target $sentinel
            New-TestLink -Path (Join-Path $script:WorkDir 'Linked-stderr.txt') -Target $missingTarget
            $program = New-FakeProgram -Name 'linked' -Stdout 'out' -Stderr 'err'

            Invoke-ProcessChecked -FilePath $program -Arguments 'x' -Label 'Linked'

            [System.IO.File]::ReadAllText($sentinel) | Should -BeExactly 'keep me'
            Test-Path -LiteralPath $missingTarget | Should -BeFalse
            (Read-CaptureFile 'Linked-stdout') | Should -BeExactly (ConvertTo-ProgramText "out`n")
            (Read-CaptureFile 'Linked-stderr') | Should -BeExactly (ConvertTo-ProgramText "err`n")
        }

        It 'runs and returns the exit code when the log file is missing' {
            $script:LogPath = Join-Path $TestDrive 'deleted-logs/Setup.log'
            $program = New-FakeProgram -Name 'nolog' -Stdout 'some output' -Stderr 'some error' -ExitCode 1641
            Invoke-ProcessChecked -FilePath $program -Arguments '/passive' -Label 'NoLog' | Should -Be 1641
            $script:RestartRequired | Should -BeTrue
            Test-Path -LiteralPath $script:LogPath | Should -BeFalse
        }
    }

    Context 'capture file names' {
        It 'names the capture files "<SafeLabel>-stdout-(16 hex).txt" and "<SafeLabel>-stderr-(16 hex).txt" for the label "<Label>"' -ForEach @(
            @{ Label = 'DISM-NetFx3'; SafeLabel = 'DISM-NetFx3' }
            @{ Label = 'vc_redist.x64'; SafeLabel = 'vc_redist_x64' }
            @{ Label = 'VC Redist 2015+ x86'; SafeLabel = 'VC_Redist_2015__x86' }
            @{ Label = 'DXSETUP'; SafeLabel = 'DXSETUP' }
            @{ Label = '..\..\Windows/System32'; SafeLabel = '______Windows_System32' }
            @{ Label = "Setup$([char]0x212A)"; SafeLabel = 'Setup_' }
        ) {
            $program = New-FakeProgram -Name 'named' -Stdout 'out' -Stderr 'err'
            Invoke-ProcessChecked -FilePath $program -Arguments 'x' -Label $Label

            (Read-CaptureFile "$SafeLabel-stdout") | Should -BeExactly (ConvertTo-ProgramText "out`n")
            (Read-CaptureFile "$SafeLabel-stderr") | Should -BeExactly (ConvertTo-ProgramText "err`n")
            @(Get-ChildItem -LiteralPath $script:WorkDir -File).Count | Should -Be 2
            Get-LogLines | Should -Contain "[INFO] Running ${Label}: $program x"
            Get-LogLines | Should -Contain "[OK] $Label completed (exit code 0)."
        }

        It 'uses the label "Process" when none is given' {
            $program = New-FakeProgram -Name 'unnamed' -Stdout 'out'
            Invoke-ProcessChecked -FilePath $program -Arguments 'x'
            (Read-CaptureFile 'Process-stdout') | Should -BeExactly (ConvertTo-ProgramText "out`n")
            Get-LogLines | Should -Contain '[OK] Process completed (exit code 0).'
        }
    }
}
