BeforeAll {
    . (Join-Path $PSScriptRoot 'FakeWindows.ps1')
    . $SetupScriptPath

    # Splits a command line into arguments by the rule Windows programs use. On Windows that
    # is CommandLineToArgvW itself; on Linux a real child process is given the line: .NET
    # there splits ProcessStartInfo.Arguments by the same rule.
    function Split-CommandLineForReal {
        param([string]$CommandLine)
        if (Test-TestHostWindows) { return Split-CommandLineByWindows $CommandLine }
        $startInfo = New-Object System.Diagnostics.ProcessStartInfo
        $startInfo.FileName = '/bin/sh'
        $startInfo.Arguments = '-c "for a in \"$@\"; do printf ''%s\n'' \"[$a]\"; done" sh ' + $CommandLine
        $startInfo.RedirectStandardOutput = $true
        $startInfo.UseShellExecute = $false
        $process = [System.Diagnostics.Process]::Start($startInfo)
        $output = $process.StandardOutput.ReadToEnd()
        $process.WaitForExit()
        return @($output -split "`n" | Where-Object { $_ -ne '' } | ForEach-Object { $_.Substring(1, $_.Length - 2) })
    }

    # The arguments CommandLineToArgvW finds in a command line. The line is given a program
    # name first, since that function reads the first word by a rule of its own.
    function Split-CommandLineByWindows {
        param([string]$CommandLine)
        if (-not ('OrvelleTests.CommandLine' -as [type])) {
            Add-Type -Namespace OrvelleTests -Name CommandLine -MemberDefinition @'
[DllImport("shell32.dll", SetLastError = true)]
private static extern IntPtr CommandLineToArgvW([MarshalAs(UnmanagedType.LPWStr)] string commandLine, out int count);
[DllImport("kernel32.dll")]
private static extern IntPtr LocalFree(IntPtr memory);
public static string[] Split(string commandLine) {
    int count;
    IntPtr list = CommandLineToArgvW(commandLine, out count);
    if (list == IntPtr.Zero) { throw new System.ComponentModel.Win32Exception(); }
    try {
        string[] arguments = new string[count];
        for (int i = 0; i < count; i++) { arguments[i] = Marshal.PtrToStringUni(Marshal.ReadIntPtr(list, i * IntPtr.Size)); }
        return arguments;
    } finally {
        LocalFree(list);
    }
}
'@
        }
        return @([OrvelleTests.CommandLine]::Split('program.exe ' + $CommandLine) | Select-Object -Skip 1)
    }
}

Describe 'Write-Log' {
    BeforeEach {
        Reset-SetupState
        $script:LogPath = Join-Path $TestDrive 'run.log'
        [System.IO.File]::WriteAllBytes($script:LogPath, [byte[]]@())
    }

    It 'writes "[time] [<Level>] message" to the log and the message alone in <Colour>' -ForEach @(
        @{ Level = 'INFO'; Colour = 'Gray' }
        @{ Level = 'OK'; Colour = 'Green' }
        @{ Level = 'WARN'; Colour = 'Yellow' }
        @{ Level = 'ERROR'; Colour = 'Red' }
    ) {
        $console = @(Get-ConsoleLines { Write-Log -Message 'DISM finished' -Level $Level })
        $console.Count | Should -Be 1
        $console[0].Text | Should -BeExactly 'DISM finished'
        $console[0].Colour | Should -Be $Colour
        $bytes = [System.IO.File]::ReadAllBytes($script:LogPath)
        $text = [System.Text.Encoding]::UTF8.GetString($bytes)
        $text | Should -Match ('^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \[' + $Level + '\] DISM finished\r\n$')
    }

    It 'uses INFO when no level is given' {
        $null = Get-ConsoleLines { Write-Log -Message 'plain' }
        Get-LogLines | Should -Be @('[INFO] plain')
    }

    It 'rejects the level <Level>' -ForEach @(@{ Level = 'DEBUG' }, @{ Level = 'info' }, @{ Level = '' }) {
        { Write-Log -Message 'x' -Level $Level } | Should -Throw
    }

    It 'appends UTF-8 without a byte-order mark, one line per call' {
        $null = Get-ConsoleLines { Write-Log 'première'; Write-Log 'second' -Level OK }
        $bytes = [System.IO.File]::ReadAllBytes($script:LogPath)
        $bytes[0] | Should -Not -Be 0xEF
        Get-LogLines | Should -Be @('[INFO] première', '[OK] second')
    }

    It 'keeps running when the log file cannot be written' {
        $script:LogPath = Join-Path $TestDrive 'no-such-folder/run.log'
        $console = @(Get-ConsoleLines { Write-Log -Message 'still shown' -Level WARN })
        $console[0].Text | Should -Be 'still shown'
        Test-Path $script:LogPath | Should -BeFalse
    }

    It 'keeps running when the log path is a folder' {
        $script:LogPath = $TestDrive
        { $null = Get-ConsoleLines { Write-Log -Message 'x' } } | Should -Not -Throw
    }
}

Describe 'Write-Step, Add-Failure and Add-Warning' {
    BeforeEach {
        Reset-SetupState
        $script:LogPath = Join-Path $TestDrive 'steps.log'
        [System.IO.File]::WriteAllBytes($script:LogPath, [byte[]]@())
    }

    It 'shows an empty line, the Cyan title and the Gray logged copy' {
        $console = @(Get-ConsoleLines { Write-Step -Number 2 -Total 5 -Message 'Enabling DirectPlay for legacy games' })
        $console.Text | Should -Be @('', '[2/5] Enabling DirectPlay for legacy games', 'STEP 2/5: Enabling DirectPlay for legacy games')
        $console[1].Colour | Should -Be 'Cyan'
        $console[2].Colour | Should -Be 'Gray'
        Get-LogLines | Should -Be @('[INFO] STEP 2/5: Enabling DirectPlay for legacy games')
    }

    It 'records failures and warnings in order and logs them at ERROR and WARN' {
        $null = Get-ConsoleLines {
            Add-Failure 'first failure'
            Add-Warning 'a warning'
            Add-Failure 'second failure'
        }
        @($script:Failures) | Should -Be @('first failure', 'second failure')
        @($script:Warnings) | Should -Be @('a warning')
        Get-LogLines | Should -Be @('[ERROR] first failure', '[WARN] a warning', '[ERROR] second failure')
    }

    It 'shows a failure recorded before the log exists on the console only' {
        $script:LogPath = ''
        $console = @(Get-ConsoleLines { Add-Failure 'Fatal error: early' })
        $console[0].Text | Should -Be 'Fatal error: early'
        $console[0].Colour | Should -Be 'Red'
        @($script:Failures) | Should -Be @('Fatal error: early')
        @(Get-ChildItem $TestDrive -Recurse -File | Where-Object { $_.Length -gt 0 }) | Should -HaveCount 0
    }
}

Describe 'Get-WindowsBuildInfo' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    AfterEach { Reset-FakeWindows }

    It 'reads caption, display version, build and the OS bitness' {
        Use-FakeWindows (New-FakeWindows -Caption 'Microsoft Windows 10 Home' -DisplayVersion '22H2' -Build 19045 -Is64Bit $false)
        $info = Get-WindowsBuildInfo
        $info.Caption | Should -BeExactly 'Microsoft Windows 10 Home'
        $info.DisplayVersion | Should -BeExactly '22H2'
        $info.Build | Should -BeOfType [int]
        $info.Build | Should -Be 19045
        $info.Architecture | Should -BeExactly '32-bit'
    }

    It 'says "Windows" when the CIM query fails and "" when DisplayVersion is absent' {
        $machine = New-FakeWindows -DisplayVersion $null -Build 10240
        $machine.Cim['Win32_OperatingSystem'] = 'WMI repository is corrupt'
        Use-FakeWindows $machine
        $info = Get-WindowsBuildInfo
        $info.Caption | Should -BeExactly 'Windows'
        $info.DisplayVersion | Should -BeExactly ''
        $info.Architecture | Should -BeExactly '64-bit'
    }

    It 'takes the bitness of Windows, not of this process' {
        Use-FakeWindows (New-FakeWindows -Architecture ARM64 -Is64BitProcess $false)
        (Get-WindowsBuildInfo).Architecture | Should -Be '64-bit'
    }
}

Describe 'Start-ElevatedCopy' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    BeforeEach {
        Use-FakeWindows (New-FakeWindows -IsAdministrator $false)
        Mock Start-Process { }
    }
    AfterEach { Reset-FakeWindows }

    It 'asks for elevation with the same switches: <Case>' -ForEach @(
        @{ Case = 'no parameters'; Diagnostics = $false; GamePath = ''; Expected = @() }
        @{ Case = 'diagnostics only'; Diagnostics = $true; GamePath = ''; Expected = @('-DiagnosticsOnly') }
        @{ Case = 'blank game path'; Diagnostics = $false; GamePath = '   '; Expected = @() }
        @{ Case = 'game path of only double quotes'; Diagnostics = $true; GamePath = '""'; Expected = @('-DiagnosticsOnly') }
        @{ Case = 'game path of quotes and blanks'; Diagnostics = $false; GamePath = ' " " '; Expected = @() }
        @{ Case = 'game folder'; Diagnostics = $false; GamePath = 'C:\Games\Cindral Online'; Expected = @('-GamePath', 'C:\Games\Cindral Online') }
        @{ Case = 'both'; Diagnostics = $true; GamePath = 'D:\Game.exe'; Expected = @('-DiagnosticsOnly', '-GamePath', 'D:\Game.exe') }
        @{ Case = 'quotes removed'; Diagnostics = $false; GamePath = '"C:\Games\My "Best" Game"'; Expected = @('-GamePath', 'C:\Games\My Best Game') }
        @{ Case = 'trailing backslash kept'; Diagnostics = $true; GamePath = 'C:\Games\Cindral\'; Expected = @('-DiagnosticsOnly', '-GamePath', 'C:\Games\Cindral\') }
        @{ Case = 'drive root'; Diagnostics = $false; GamePath = 'E:\'; Expected = @('-GamePath', 'E:\') }
        @{ Case = 'several trailing backslashes'; Diagnostics = $false; GamePath = '\\server\share\\'; Expected = @('-GamePath', '\\server\share\\') }
    ) {
        Start-ElevatedCopy -DiagnosticsOnly:$Diagnostics -GamePath $GamePath
        Should -Invoke Start-Process -Exactly 1 -ParameterFilter {
            $FilePath -eq "$env:SystemRoot\System32\WindowsPowerShell\v1.0\powershell.exe" -and $Verb -eq 'RunAs'
        }
        $script:passed = $null
        Mock Start-Process { $script:passed = $ArgumentList }
        Start-ElevatedCopy -DiagnosticsOnly:$Diagnostics -GamePath $GamePath
        $script:passed | Should -BeOfType [string]
        $arguments = Split-CommandLineForReal $script:passed
        $arguments[0..5] | Should -Be @('-NoLogo', '-NoProfile', '-ExecutionPolicy', 'Bypass', '-File', $SetupScriptPath)
        @($arguments | Select-Object -Skip 6) | Should -Be $Expected
    }

    It 'makes a relative game path absolute, since the elevated copy starts in the system folder' {
        $script:passed = $null
        Mock Start-Process { $script:passed = $ArgumentList }
        Push-Location $TestDrive
        try {
            Start-ElevatedCopy -GamePath 'Games\Cindral\'
        } finally {
            Pop-Location
        }
        $arguments = Split-CommandLineForReal $script:passed
        @($arguments | Select-Object -Skip 6) | Should -Be @('-GamePath', (Join-Path (Resolve-Path $TestDrive).ProviderPath 'Games\Cindral\'))
    }

    It 'builds the argument string in the documented order and quoting' {
        $script:passed = $null
        Mock Start-Process { $script:passed = $ArgumentList }
        Start-ElevatedCopy -DiagnosticsOnly -GamePath 'C:\Games\Cindral Online'
        $script:passed | Should -BeExactly ('-NoLogo -NoProfile -ExecutionPolicy Bypass -File "' + $SetupScriptPath + '" -DiagnosticsOnly -GamePath "C:\Games\Cindral Online"')
    }
}

Describe 'ConvertTo-QuotedArgument under the real parsing rules' {
    It 'gives back <Value> unchanged' -ForEach @(
        @{ Value = 'C:\Games\' }
        @{ Value = 'C:\Games\\' }
        @{ Value = 'C:\Program Files (x86)\Game' }
        @{ Value = '\\server\share\dir\' }
        @{ Value = 'a\b\\c' }
        @{ Value = '' }
    ) {
        $line = (ConvertTo-QuotedArgument -Value $Value) + ' next'
        Split-CommandLineForReal $line | Should -Be @($Value, 'next')
    }
}
