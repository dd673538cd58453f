BeforeAll {
    . (Join-Path $PSScriptRoot 'FakeWindows.ps1')
    . $SetupScriptPath

    # Runs the main sequence in this process and returns its exit code and console lines.
    function Invoke-Run {
        param([switch]$DiagnosticsOnly, [string]$GamePath = '')
        $script:exitCode = $null
        $console = @(Get-ConsoleLines { $script:exitCode = Invoke-SetupSequence -DiagnosticsOnly:$DiagnosticsOnly -GamePath $GamePath })
        return [pscustomobject]@{ ExitCode = $script:exitCode; Console = $console }
    }
}

Describe 'The script as a program' {
    It 'off Windows NT prints the refusal and exits with 3' {
        $pwsh = Get-TestPowerShellPath
        $saved = $env:OS
        try {
            $env:OS = $null
            $output = & $pwsh -NoProfile -NonInteractive -ExecutionPolicy Bypass -File $SetupScriptPath 2>&1
            $LASTEXITCODE | Should -Be 3
        } finally {
            $env:OS = $saved
        }
        ($output | Out-String).Trim() | Should -BeExactly 'This tool supports Windows 10 and Windows 11 only.'
    }

    It 'only defines its functions when dot-sourced' {
        $pwsh = Get-TestPowerShellPath
        $probe = ". '$SetupScriptPath'; (Get-Command Invoke-SetupSequence).CommandType; 'still here'"
        $output = & $pwsh -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command $probe 2>&1
        $LASTEXITCODE | Should -Be 0
        @($output | ForEach-Object { [string]$_ }) | Should -Be @('Function', 'still here')
    }
}

Describe 'Main sequence' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    BeforeEach {
        $machine = New-FakeWindows -Build 22631
        Use-FakeWindows $machine
        Mock Install-NetFx35 { }
        Mock Install-DirectPlay { }
        Mock Install-VisualCppRuntimes { }
        Mock Install-DirectXLegacy { }
        Mock New-DiagnosticReport { Join-Path $env:TEMP 'report.txt' }
        Mock Show-CompletionMessage { }
        Mock Start-ElevatedCopy { }
    }
    AfterEach { Reset-FakeWindows }

    It 'refuses a machine that is not Windows NT with a red line and exit code 3, touching nothing' {
        $env:OS = $null
        $run = Invoke-Run
        $run.ExitCode | Should -Be 3
        $run.Console.Text | Should -Be @('This tool supports Windows 10 and Windows 11 only.')
        $run.Console[0].Colour | Should -Be 'Red'
        Test-Path (Join-Path $machine.ProgramData 'ORVELLE') | Should -BeFalse
        Should -Invoke Start-ElevatedCopy -Exactly 0
    }

    It 'without administrator rights hands over to an elevated copy with the same parameters and exits 0' {
        $machine.IsAdministrator = $false
        $run = Invoke-Run -DiagnosticsOnly -GamePath 'C:\Games\Cindral\'
        $run.ExitCode | Should -Be 0
        Should -Invoke Start-ElevatedCopy -Exactly 1 -ParameterFilter { $DiagnosticsOnly -and $GamePath -eq 'C:\Games\Cindral\' }
        Should -Invoke New-DiagnosticReport -Exactly 0
        Should -Invoke Show-CompletionMessage -Exactly 0
        Test-Path (Join-Path $machine.ProgramData 'ORVELLE') | Should -BeFalse
    }

    It 'takes the fatal path when the elevation prompt is declined' {
        $machine.IsAdministrator = $false
        Mock Start-ElevatedCopy { throw 'The operation was canceled by the user.' }
        $run = Invoke-Run
        $run.ExitCode | Should -Be 1
        @($script:Failures) | Should -Be @('Fatal error: The operation was canceled by the user.')
        $script:LogPath | Should -BeExactly ''
        Should -Invoke New-DiagnosticReport -Exactly 1
        Should -Invoke Show-CompletionMessage -Exactly 1
    }

    It 'restricts web requests to TLS 1.2' {
        [Net.ServicePointManager]::SecurityProtocol = [Net.SecurityProtocolType]::Tls12 -bor [Net.SecurityProtocolType]::Tls13
        $null = Invoke-Run
        [Net.ServicePointManager]::SecurityProtocol | Should -Be ([Net.SecurityProtocolType]::Tls12)
    }

    It 'creates the work and log folders and an empty log named after the start time' {
        Mock Get-Date { [datetime]'2026-03-04T05:06:07' }
        $null = Invoke-Run
        $base = Join-Path $machine.ProgramData 'ORVELLE/Game Support'
        $script:WorkDir | Should -Be (Join-Path $base 'Downloads')
        Test-Path -PathType Container $script:WorkDir | Should -BeTrue
        $script:LogPath | Should -Be (Join-Path $base 'Logs/Setup-20260304-050607.log')
        Test-Path -PathType Leaf $script:LogPath | Should -BeTrue
    }

    It 'shows the banner, then the detected build, then the five steps in order' {
        $run = Invoke-Run
        $run.ExitCode | Should -Be 0
        $expected = @(
            '===============================================|Cyan'
            "        ORVELLE GAME SUPPORT $($script:ToolVersion)|White"
            '===============================================|Cyan'
            'Official Microsoft downloads + signature checks|DarkGray'
            'No antivirus disabling / no automatic exclusions|DarkGray'
            'Detected Microsoft Windows 11 Pro, version 23H2, build 22631, 64-bit.|Gray'
            '|'
            '[1/5] Installing / repairing .NET Framework 3.5|Cyan'
            'STEP 1/5: Installing / repairing .NET Framework 3.5|Gray'
            '|'
            '[2/5] Enabling DirectPlay for legacy games|Cyan'
            'STEP 2/5: Enabling DirectPlay for legacy games|Gray'
            '|'
            '[3/5] Installing Microsoft Visual C++ runtimes|Cyan'
            'STEP 3/5: Installing Microsoft Visual C++ runtimes|Gray'
            '|'
            '[4/5] Installing DirectX legacy game components|Cyan'
            'STEP 4/5: Installing DirectX legacy game components|Gray'
            '|'
            '[5/5] Creating support report|Cyan'
            'STEP 5/5: Creating support report|Gray'
        )
        @($run.Console | ForEach-Object { '{0}|{1}' -f $_.Text, $_.Colour }) | Should -Be $expected
        Should -Invoke Clear-Host -Exactly 1
        Get-LogLines | Should -Be @(
            '[INFO] Detected Microsoft Windows 11 Pro, version 23H2, build 22631, 64-bit.'
            '[INFO] STEP 1/5: Installing / repairing .NET Framework 3.5'
            '[INFO] STEP 2/5: Enabling DirectPlay for legacy games'
            '[INFO] STEP 3/5: Installing Microsoft Visual C++ runtimes'
            '[INFO] STEP 4/5: Installing DirectX legacy game components'
            '[INFO] STEP 5/5: Creating support report'
        )
        Should -Invoke Install-NetFx35 -Exactly 1 -ParameterFilter { $WindowsBuild -eq 22631 }
        Should -Invoke New-DiagnosticReport -Exactly 1 -ParameterFilter { $RequestedGamePath -eq '' }
        Should -Invoke Show-CompletionMessage -Exactly 1 -ParameterFilter { $ReportPath -eq (Join-Path $env:TEMP 'report.txt') }
    }

    It 'ends with <ExitCode> when <Case>' -ForEach @(
        @{ Case = 'every step succeeds'; Fail = ''; ExitCode = 0; Failures = @(); Warnings = @() }
        @{ Case = '.NET Framework 3.5 fails'; Fail = 'NetFx'; ExitCode = 1; Failures = @('.NET Framework 3.5: DISM-NetFx3 failed with exit code 5.'); Warnings = @() }
        @{ Case = 'only DirectPlay fails'; Fail = 'DirectPlay'; ExitCode = 0; Failures = @(); Warnings = @('DirectPlay: DISM-DirectPlay failed with exit code 5.') }
        @{ Case = 'a Visual C++ package records a failure'; Fail = 'VcFailure'; ExitCode = 1; Failures = @('Visual C++ v14 latest x64: boom'); Warnings = @() }
        @{ Case = 'a legacy Visual C++ package records a warning'; Fail = 'VcWarning'; ExitCode = 0; Failures = @(); Warnings = @('Legacy runtime Visual C++ 2008 SP1 x86 was skipped or failed: boom') }
        @{ Case = 'DirectX fails'; Fail = 'DirectX'; ExitCode = 1; Failures = @('DirectX legacy runtime: DirectX setup completed but d3dx9_43.dll was not found.'); Warnings = @() }
    ) {
        switch ($Fail) {
            'NetFx' { Mock Install-NetFx35 { throw 'DISM-NetFx3 failed with exit code 5.' } }
            'DirectPlay' { Mock Install-DirectPlay { throw 'DISM-DirectPlay failed with exit code 5.' } }
            'VcFailure' { Mock Install-VisualCppRuntimes { Add-Failure 'Visual C++ v14 latest x64: boom' } }
            'VcWarning' { Mock Install-VisualCppRuntimes { Add-Warning 'Legacy runtime Visual C++ 2008 SP1 x86 was skipped or failed: boom' } }
            'DirectX' { Mock Install-DirectXLegacy { throw 'DirectX setup completed but d3dx9_43.dll was not found.' } }
        }
        $run = Invoke-Run
        $run.ExitCode | Should -Be $ExitCode
        @($script:Failures) | Should -Be $Failures
        @($script:Warnings) | Should -Be $Warnings
        Should -Invoke Install-DirectXLegacy -Exactly 1
        Should -Invoke New-DiagnosticReport -Exactly 1
        Should -Invoke Show-CompletionMessage -Exactly 1
    }

    It 'runs only the report as step 1 of 1 with -DiagnosticsOnly' {
        $run = Invoke-Run -DiagnosticsOnly -GamePath 'C:\Games'
        $run.ExitCode | Should -Be 0
        @($run.Console | Where-Object { $_.Colour -eq 'Cyan' -and $_.Text -like '`[*' }).Text | Should -Be @('[1/1] Creating diagnostic report')
        foreach ($step in 'Install-NetFx35', 'Install-DirectPlay', 'Install-VisualCppRuntimes', 'Install-DirectXLegacy') {
            Should -Invoke $step -Exactly 0
        }
        Should -Invoke New-DiagnosticReport -Exactly 1 -ParameterFilter { $RequestedGamePath -eq 'C:\Games' }
        Should -Invoke Show-CompletionMessage -Exactly 1
    }

    It 'refuses build 9600 through the fatal handler, which still writes the report' {
        Set-FakeRegistryValue $machine -Key 'HKLM:\SOFTWARE\Microsoft\Windows NT\CurrentVersion' -Name 'CurrentBuildNumber' -Value '9600'
        $run = Invoke-Run -GamePath 'C:\Games'
        $run.ExitCode | Should -Be 1
        Get-LogLines | Should -Contain '[ERROR] Fatal error: Windows 10 or Windows 11 is required.'
        @($script:Failures) | Should -Be @('Fatal error: Windows 10 or Windows 11 is required.')
        Should -Invoke Install-NetFx35 -Exactly 0
        Should -Invoke New-DiagnosticReport -Exactly 1 -ParameterFilter { $RequestedGamePath -eq 'C:\Games' }
        Should -Invoke Show-CompletionMessage -Exactly 1
    }

    It 'accepts build 10240, the first Windows 10 build' {
        Set-FakeRegistryValue $machine -Key 'HKLM:\SOFTWARE\Microsoft\Windows NT\CurrentVersion' -Name 'CurrentBuildNumber' -Value '10240'
        (Invoke-Run).ExitCode | Should -Be 0
        Should -Invoke Install-NetFx35 -Exactly 1 -ParameterFilter { $WindowsBuild -eq 10240 }
    }

    It 'tries the report again from the fatal handler when the report step fails' {
        $script:reportCalls = 0
        Mock New-DiagnosticReport {
            $script:reportCalls++
            if ($script:reportCalls -eq 1) { throw 'Access to the path is denied.' }
            'second.txt'
        }
        $run = Invoke-Run
        $run.ExitCode | Should -Be 1
        @($script:Failures) | Should -Be @('Fatal error: Access to the path is denied.')
        Should -Invoke Show-CompletionMessage -Exactly 1 -ParameterFilter { $ReportPath -eq 'second.txt' }
    }

    It 'ends with 1 and no completion message when the report fails twice' {
        Mock New-DiagnosticReport { throw 'Disk full.' }
        $run = Invoke-Run
        $run.ExitCode | Should -Be 1
        Should -Invoke New-DiagnosticReport -Exactly 2
        Should -Invoke Show-CompletionMessage -Exactly 0
    }

    It 'with a <Process> process on a <System> system <Outcome>' -ForEach @(
        @{ Process = '32-bit'; System = '64-bit'; Outcome = 'runs the 64-bit copy and returns its exit code'; Is64BitProcess = $false; Is64Bit = $true; Restarts = $true }
        @{ Process = '32-bit'; System = '32-bit'; Outcome = 'runs itself'; Is64BitProcess = $false; Is64Bit = $false; Restarts = $false }
        @{ Process = '64-bit'; System = '64-bit'; Outcome = 'runs itself'; Is64BitProcess = $true; Is64Bit = $true; Restarts = $false }
    ) {
        $machine.Is64BitProcess = $Is64BitProcess
        $machine.Is64Bit = $Is64Bit
        $script:started = New-Object System.Collections.Generic.List[object]
        Mock Start-Process {
            $script:started.Add([pscustomobject]@{ FilePath = $FilePath; Arguments = $ArgumentList; Wait = [bool]$Wait; NoNewWindow = [bool]$NoNewWindow })
            [pscustomobject]@{ ExitCode = 7 }
        }
        $run = Invoke-Run -DiagnosticsOnly -GamePath 'C:\Games\Cindral\'
        if ($Restarts) {
            $run.ExitCode | Should -Be 7
            $script:started.Count | Should -Be 1
            $script:started[0].FilePath | Should -BeExactly "$env:SystemRoot\Sysnative\WindowsPowerShell\v1.0\powershell.exe"
            $script:started[0].Arguments | Should -BeExactly ('-NoLogo -NoProfile -ExecutionPolicy Bypass -File "' + $SetupScriptPath + '" -DiagnosticsOnly -GamePath "C:\Games\Cindral\\"')
            $script:started[0].Wait | Should -BeTrue
            $script:started[0].NoNewWindow | Should -BeTrue
            Should -Invoke New-DiagnosticReport -Exactly 0
            Test-Path (Join-Path $machine.ProgramData 'ORVELLE') | Should -BeFalse
        } else {
            $run.ExitCode | Should -Be 0
            $script:started.Count | Should -Be 0
            Should -Invoke New-DiagnosticReport -Exactly 1
        }
    }

    It 'with a 32-bit process on a 64-bit system ends with 1 when the 64-bit copy''s exit code cannot be read' {
        $machine.Is64BitProcess = $false
        Mock Start-Process { [pscustomobject]@{ Id = 4321; HasExited = $true; ExitCode = $null } }
        $run = Invoke-Run
        $run.ExitCode | Should -Be 1
        Should -Invoke New-DiagnosticReport -Exactly 0
    }

    It 'goes on without clearing the console when the host has none to clear' {
        Mock Clear-Host { throw 'The handle is invalid.' }
        $run = Invoke-Run
        $run.ExitCode | Should -Be 0
        $run.Console[0].Text | Should -Be ('=' * 47)
        @($script:Failures) | Should -Be @()
        Should -Invoke Install-DirectXLegacy -Exactly 1
    }

    It 'still exits with 1 when even the fatal failure cannot be recorded' {
        Mock Start-ElevatedCopy { throw 'declined' }
        $machine.IsAdministrator = $false
        Mock Add-Failure { throw 'broken' }
        $run = Invoke-Run
        $run.ExitCode | Should -Be 1
        $run.Console | Where-Object { $_.Text -eq 'declined' -and $_.Colour -eq 'Red' } | Should -Not -BeNullOrEmpty
    }
}

Describe 'Log file of a run' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    BeforeEach {
        Use-FakeWindows (New-FakeWindows)
        Mock Get-Date { [datetime]'2026-12-08T16:45:00' }
    }
    AfterEach { Reset-FakeWindows }

    It 'is shared by two runs in the same second, and the second run replaces it' {
        Initialize-SetupFolders
        $firstLog = $script:LogPath
        $null = Get-ConsoleLines { Write-Log 'first run' }
        Reset-SetupState
        Initialize-SetupFolders
        $script:LogPath | Should -Be $firstLog
        (Get-Item $firstLog).Length | Should -Be 0
        $null = Get-ConsoleLines { Write-Log 'second run' }
        Get-LogLines | Should -Be @('[INFO] second run')
    }
}

Describe 'Folders given to a run (-Layout, -PackageSource)' {
    It '<Verdict> "<Path>" as a full folder path' -ForEach @(
        @{ Path = 'D:\ORVELLE-Game-Support-Packages'; Verdict = 'accepts' }
        @{ Path = 'e:\'; Verdict = 'accepts' }
        @{ Path = '\\cafe-server\games\ORVELLE-Game-Support-Packages'; Verdict = 'accepts' }
        @{ Path = 'ORVELLE-Game-Support-Packages'; Verdict = 'refuses' }
        @{ Path = '.\Packages'; Verdict = 'refuses' }
        @{ Path = 'D:Packages'; Verdict = 'refuses' }
        @{ Path = '\Packages'; Verdict = 'refuses' }
        @{ Path = '\\cafe-server'; Verdict = 'refuses' }
        @{ Path = '\\?\D:\Packages'; Verdict = 'refuses' }
        @{ Path = '\\.\D:\Packages'; Verdict = 'refuses' }
        @{ Path = 'D:\Packages" -DiagnosticsOnly'; Verdict = 'refuses' }
        @{ Path = '  '; Verdict = 'refuses' }
    ) {
        Test-FullFolderPath -Path $Path | Should -Be ($Verdict -eq 'accepts')
    }

    It 'ends a run given <Switch> "<Path>" with 1 and says why, before it makes a folder or asks for elevation' -ForEach @(
        @{ Switch = '-Layout'; Path = 'Packages' }
        @{ Switch = '-PackageSource'; Path = 'D:\Packages" -DiagnosticsOnly' }
    ) {
        Use-FakeWindows (New-FakeWindows -IsAdministrator $false)
        Mock Start-ElevatedCopy { throw 'not expected' }
        Mock Initialize-SetupFolders { throw 'not expected' }
        $arguments = @{ ($Switch.TrimStart('-')) = $Path }
        $script:exitCode = $null
        try {
            $console = @(Get-ConsoleLines { $script:exitCode = Invoke-SetupSequence @arguments })
        } finally {
            Reset-FakeWindows
        }
        $script:exitCode | Should -Be 1
        @($console | ForEach-Object { $_.Text }) | Should -Be @("The folder given with $Switch cannot be used: ""$Path"". Give a full path, such as D:\ORVELLE-Game-Support-Packages, without quotation marks.")
        Should -Invoke Initialize-SetupFolders -Exactly 0
    }
}
