BeforeAll {
    . (Join-Path $PSScriptRoot 'FakeWindows.ps1')
    . $SetupScriptPath

    # Makes the report and returns its path; fails when it returns anything but one string.
    function Invoke-Report {
        param([string]$GamePath = '')
        $output = @(New-DiagnosticReport -RequestedGamePath $GamePath 6>$null)
        $output.Count | Should -Be 1 -Because 'the report returns its path and nothing else'
        $output[0] | Should -BeOfType [string]
        return $output[0]
    }

    # The report's lines; fails unless every line, the last included, ends with CR LF.
    function Read-ReportLines {
        param([string]$Path)
        $text = [System.IO.File]::ReadAllText($Path, (New-Object System.Text.UTF8Encoding $false))
        $text | Should -Match "`r`n\z" -Because 'the last line ends with CR LF too'
        $lines = $text.Substring(0, $text.Length - 2).Split([string[]]@("`r`n"), [StringSplitOptions]::None)
        foreach ($line in $lines) {
            $line | Should -Not -Match "[`r`n]" -Because 'every line break is CR LF'
        }
        return $lines
    }

    # The lines of one block after its header, up to the empty line that ends it.
    function Get-ReportBlock {
        param([string[]]$Lines, [string]$Header)
        $start = [array]::IndexOf($Lines, $Header)
        $start | Should -BeGreaterThan 0 -Because "the report has a block $Header"
        $Lines[$start - 1] | Should -BeExactly '' -Because 'an empty line stands before every block'
        $block = New-Object System.Collections.Generic.List[string]
        for ($i = $start + 1; $i -lt $Lines.Count -and $Lines[$i] -ne ''; $i++) {
            $block.Add($Lines[$i])
        }
        return $block.ToArray()
    }

    function Get-Block {
        param([string]$Header, [string]$GamePath = '')
        return Get-ReportBlock -Lines @(Read-ReportLines (Invoke-Report -GamePath $GamePath)) -Header $Header
    }

    # Compares lines exactly (letter case and blanks included), whole text at once for a readable diff.
    function Assert-Lines {
        param([AllowEmptyCollection()][string[]]$Actual, [AllowEmptyCollection()][string[]]$Expected)
        @($Actual).Count | Should -Be @($Expected).Count -Because ("the lines are:`n" + (@($Actual) -join "`n"))
        (@($Actual) -join "`n") | Should -BeExactly (@($Expected) -join "`n")
    }

    # Runs a script block under a culture and restores the previous one.
    function Invoke-InCulture {
        param([System.Globalization.CultureInfo]$Culture, [scriptblock]$ScriptBlock)
        $saved = [System.Globalization.CultureInfo]::CurrentCulture
        try {
            [System.Globalization.CultureInfo]::CurrentCulture = $Culture
            & $ScriptBlock
        } finally {
            [System.Globalization.CultureInfo]::CurrentCulture = $saved
        }
    }

    # "zzz" of a local time: sign, two-digit hours, colon, two-digit minutes.
    function Get-OffsetText {
        param([datetime]$Time)
        $offset = [TimeZoneInfo]::Local.GetUtcOffset($Time)
        $sign = '+'
        if ($offset.Ticks -lt 0) { $sign = '-' }
        return $sign + ([Math]::Abs($offset.Hours)).ToString('00', [cultureinfo]::InvariantCulture) + ':' + ([Math]::Abs($offset.Minutes)).ToString('00', [cultureinfo]::InvariantCulture)
    }

    $script:Invariant = [System.Globalization.CultureInfo]::InvariantCulture
    $script:Clock = [datetime]'2025-06-14 09:30:15'
}

Describe 'The whole report of a Windows 11 x64 gaming PC' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    BeforeEach {
        $machine = New-FakeWindows
        $machine.Clock = $Clock
        $machine.Features['NetFx3'] = 'Enabled'
        $machine.Features['DirectPlay'] = 'Enabled'
        $system32 = Join-Path $machine.SystemRoot 'System32'
        $sysWow64 = Join-Path $machine.SystemRoot 'SysWOW64'
        $null = New-FakeVersionedFile $machine -Path (Join-Path $system32 'd3d9.dll') -Version '10.0.22621.1 (WinBuild.160101.0800)'
        $null = New-FakeVersionedFile $machine -Path (Join-Path $system32 'xinput1_3.dll') -Version '9.18.944.0'
        $null = New-FakeVersionedFile $machine -Path (Join-Path $system32 'vcruntime140.dll') -Version '14.40.33810.0'
        $null = New-FakeVersionedFile $machine -Path (Join-Path $system32 'msvcp140.dll') -Version '14.40.33810.0'
        $null = New-FakeVersionedFile $machine -Path (Join-Path $sysWow64 'd3d9.dll') -Version '10.0.22621.1 (WinBuild.160101.0800)'
        $null = New-FakeVersionedFile $machine -Path (Join-Path $sysWow64 'd3dx9_43.dll') -Version '9.29.952.3111'
        $null = New-FakeVersionedFile $machine -Path (Join-Path $sysWow64 'msvcr100.dll') -Version '10.00.40219.325'
        $null = New-FakeVersionedFile $machine -Path (Join-Path $sysWow64 'vcruntime140.dll') -Version '14.40.33810.0'
        Add-FakeUninstallEntry $machine -DisplayName 'Microsoft Visual C++ 2015-2022 Redistributable (x64) - 14.40.33810' -DisplayVersion '14.40.33810.0'
        Add-FakeUninstallEntry $machine -DisplayName 'Microsoft Visual C++ 2022 X64 Minimum Runtime - 14.40.33810' -DisplayVersion '14.40.33810'
        Add-FakeUninstallEntry $machine -DisplayName $null -DisplayVersion $null
        Add-FakeUninstallEntry $machine -View WOW6432Node -DisplayName 'Microsoft Visual C++ 2015-2022 Redistributable (x86) - 14.40.33810' -DisplayVersion '14.40.33810.0'
        Add-FakeUninstallEntry $machine -View WOW6432Node -DisplayName 'Microsoft Visual C++ 2010  x86 Redistributable - 10.0.40219' -DisplayVersion '10.0.40219'
        Add-FakeVideoController $machine -Name 'NVIDIA GeForce RTX 3060' -DriverVersion '31.0.15.5222' -DriverDate ([datetime]'2024-03-12')
        Add-FakeThreatDetection $machine -Time ([datetime]'2025-06-10 18:02:11') -ThreatId 2147735505 -Resources @('file:_C:\Users\Player\Downloads\trainer.exe')
        Add-FakeEvent $machine -TimeCreated ([datetime]'2025-06-14 08:12:40') -ProviderName 'Application Error' -Id 1000 -Message "Faulting application name: game.exe, version: 1.4.2.0`r`nFaulting module name: d3d9.dll" -Properties (Get-FakeCrashData -Application 'game.exe' -Module 'd3d9.dll')
        Add-FakeEvent $machine -TimeCreated ([datetime]'2025-06-13 22:05:03') -ProviderName 'MsiInstaller' -Id 11708 -Message 'Product: Cindral Online -- Installation failed.'
        Add-FakeEvent $machine -TimeCreated ([datetime]'2025-06-13 21:40:00') -ProviderName 'SideBySide' -Id 33 -Message 'Activation context generation failed for "C:\Games\Cindral\launcher.exe".'
        Add-FakeEvent $machine -TimeCreated ([datetime]'2025-06-11 10:00:00') -ProviderName 'Application Error' -Id 1000 -Message 'Older than the window.'
        Set-FakeRegistryValue $machine -Key 'HKLM:\SYSTEM\CurrentControlSet\Control\Session Manager' -Name 'PendingFileRenameOperations' -Value @('\??\C:\Windows\Temp\nvdrs.dll', '')
        Use-FakeWindows $machine
        $script:RestartRequired = $true
        $script:Warnings.Add('DirectPlay: DISM exited with code 50.')
        $script:LogPath = Join-Path $machine.ProgramData 'Setup-20250614-092801.log'
    }
    AfterEach { Reset-FakeWindows }

    It 'matches its golden file line by line' {
        $expected = [System.IO.File]::ReadAllText((Join-Path $PSScriptRoot 'golden/windows11-x64-gaming-pc.txt')).Replace("`r", '')
        $expected = $expected.Replace('{OFFSET}', (Get-OffsetText $Clock)).Replace('{SYSTEM32}', $system32).Replace('{SYSWOW64}', $sysWow64).Replace('{LOGPATH}', $script:LogPath).Replace('{TOOLVERSION}', $script:ToolVersion)
        $path = Invoke-InCulture $Invariant { Invoke-Report }
        ((Read-ReportLines $path) -join "`n") + "`n" | Should -BeExactly $expected
    }

    It 'is named after the local time, lies on the desktop and starts with a UTF-8 byte-order mark' {
        $path = Invoke-InCulture $Invariant { Invoke-Report }
        $path | Should -BeExactly (Join-Path $machine.Desktop 'ORVELLE-Diagnostic-20250614-093015.txt')
        $bytes = [System.IO.File]::ReadAllBytes($path)
        $bytes[0..2] | Should -Be @(0xEF, 0xBB, 0xBF)
        $bytes[3] | Should -Be ([byte][char]'O')
    }

    It 'logs "Diagnostic report created: " and the path at OK and shows it in green' {
        $script:LogPath = Join-Path $TestDrive 'setup.log'
        [System.IO.File]::WriteAllBytes($script:LogPath, [byte[]]@())
        $script:report = $null
        $console = @(Get-ConsoleLines { $script:report = New-DiagnosticReport })
        Get-LogLines | Should -Contain ('[OK] Diagnostic report created: {0}' -f $script:report)
        $console[-1].Text | Should -BeExactly ('Diagnostic report created: {0}' -f $script:report)
        $console[-1].Colour | Should -Be 'Green'
    }
}

Describe 'Windows and feature lines' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    AfterEach { Reset-FakeWindows }

    It 'on <Scenario> read <Admin>, reboot <Reboot>, NetFx3 <NetFx3>, DirectPlay <DirectPlay>' -ForEach @(
        @{ Scenario = 'an elevated run after an installer asked for a restart'; IsAdministrator = $true; Restart = $true; Features = @{ NetFx3 = 'Enabled'; DirectPlay = 'EnablePending' }; NetFx35 = $true
            Admin = 'True'; Reboot = 'True'; NetFx3 = 'Enabled'; DirectPlay = 'EnablePending'; Installed = 'True' }
        @{ Scenario = 'a declined elevation prompt (feature query needs rights)'; IsAdministrator = $false; Restart = $false; Features = @{ NetFx3 = $null; DirectPlay = $null }; NetFx35 = $false
            Admin = 'False'; Reboot = 'False'; NetFx3 = 'Unavailable'; DirectPlay = 'Unavailable'; Installed = 'False' }
        @{ Scenario = 'a Windows without the DirectPlay feature'; IsAdministrator = $true; Restart = $false; Features = @{ NetFx3 = 'Disabled' }; NetFx35 = $false
            Admin = 'True'; Reboot = 'False'; NetFx3 = 'Disabled'; DirectPlay = 'Unavailable'; Installed = 'False' }
    ) {
        $machine = New-FakeWindows -IsAdministrator $IsAdministrator -Caption 'Microsoft Windows 10 Home' -DisplayVersion '22H2' -Build 19045
        $machine.Features = $Features
        Use-FakeWindows $machine
        Mock Test-NetFx35Installed { $NetFx35 }
        $script:RestartRequired = $Restart
        $lines = @(Read-ReportLines (Invoke-Report))
        Assert-Lines (Get-ReportBlock $lines '[WINDOWS]') @(
            'OS           : Microsoft Windows 10 Home'
            'Version      : 22H2'
            'Build        : 19045'
            'Architecture : 64-bit'
            "Admin        : $Admin"
            "Pending reboot: $Reboot")
        Assert-Lines (Get-ReportBlock $lines '[WINDOWS FEATURES]') @(
            ".NET Framework 3.5 installed : $Installed"
            "NetFx3 feature state         : $NetFx3"
            "DirectPlay feature state     : $DirectPlay")
    }

    It 'leaves the Version value empty on a build without DisplayVersion' {
        Use-FakeWindows (New-FakeWindows -DisplayVersion $null -Build 17763 -Caption 'Microsoft Windows 10 Enterprise LTSC 2019')
        (Get-Block '[WINDOWS]')[1] | Should -BeExactly 'Version      : '
    }
}

Describe 'Get-FeatureStateText' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    AfterEach { Reset-FakeWindows }

    It 'returns "<Expected>" when <Case>' -ForEach @(
        @{ Case = 'the feature is enabled'; Answer = { [pscustomobject]@{ State = 'Enabled' } }; Expected = 'Enabled' }
        @{ Case = 'the query reports an error'; Answer = { Write-Error 'Feature name NetFx3 is unknown.' }; Expected = 'Unavailable' }
        @{ Case = 'the query throws'; Answer = { throw 'The requested operation requires elevation.' }; Expected = 'Unavailable' }
        @{ Case = 'the query returns nothing'; Answer = { }; Expected = 'Unavailable' }
        @{ Case = 'the result has no state'; Answer = { [pscustomobject]@{ FeatureName = 'NetFx3' } }; Expected = 'Unavailable' }
        @{ Case = 'the state is empty'; Answer = { [pscustomobject]@{ State = $null } }; Expected = 'Unavailable' }
    ) {
        Use-FakeWindows (New-FakeWindows)
        Mock Get-WindowsOptionalFeature $Answer
        Get-FeatureStateText -FeatureName 'NetFx3' | Should -BeExactly $Expected
    }

    It 'asks the running Windows for the named feature' {
        Use-FakeWindows (New-FakeWindows)
        Mock Get-WindowsOptionalFeature { [pscustomobject]@{ State = 'Disabled' } }
        $null = Get-FeatureStateText -FeatureName 'DirectPlay'
        Should -Invoke Get-WindowsOptionalFeature -Exactly 1 -ParameterFilter { $Online -and $FeatureName -eq 'DirectPlay' }
    }
}

Describe 'Add-ReportLine' {
    It 'appends the text, or an empty line without one, and returns nothing' {
        $lines = New-Object System.Collections.Generic.List[string]
        $output = @(Add-ReportLine -Lines $lines -Text 'first'; Add-ReportLine -Lines $lines; Add-ReportLine -Lines $lines -Text 'third')
        $output.Count | Should -Be 0
        Assert-Lines $lines.ToArray() @('first', '', 'third')
    }
}

Describe 'DLL lines' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    AfterEach { Reset-FakeWindows }

    It 'on <Bitness> Windows list <Count> lines: <Folders>' -ForEach @(
        @{ Bitness = '64-bit'; Is64Bit = $true; Count = 24; Folders = @('System32', 'SysWOW64') }
        @{ Bitness = '32-bit'; Is64Bit = $false; Count = 12; Folders = @('System32') }
    ) {
        $machine = New-FakeWindows -Is64Bit $Is64Bit
        Use-FakeWindows $machine
        $block = @(Get-Block '[DIRECTX / COMMON DLL FILES]')
        $block.Count | Should -Be $Count
        $groups = @($block | Where-Object { $_.StartsWith('-- ') })
        Assert-Lines $groups @($Folders | ForEach-Object { '-- ' + (Join-Path $machine.SystemRoot $_) })
        Assert-Lines $block[1..11] @(
            'MISSING d3d9.dll', 'MISSING d3dx9_43.dll', 'MISSING d3dx9_42.dll', 'MISSING xinput1_3.dll', 'MISSING xaudio2_7.dll',
            'MISSING msvcp100.dll', 'MISSING msvcr100.dll', 'MISSING msvcp120.dll', 'MISSING msvcr120.dll', 'MISSING vcruntime140.dll', 'MISSING msvcp140.dll')
    }

    It 'shows FOUND with the version text, an empty version for a file without one, and MISSING for a folder of that name' {
        $machine = New-FakeWindows -Is64Bit $false
        $system32 = Join-Path $machine.SystemRoot 'System32'
        $null = New-FakeVersionedFile $machine -Path (Join-Path $system32 'xaudio2_7.dll') -Version '9.29.1962.0 (debug)'
        $null = New-FakeFile (Join-Path $system32 'msvcr120.dll') -Content 'no version resource'
        $null = New-Item -ItemType Directory -Path (Join-Path $system32 'd3d9.dll')
        Use-FakeWindows $machine
        $block = @(Get-Block '[DIRECTX / COMMON DLL FILES]')
        $block[1] | Should -BeExactly 'MISSING d3d9.dll'
        $block[5] | Should -BeExactly 'FOUND   xaudio2_7.dll      Version 9.29.1962.0 (debug)'
        $block[9] | Should -BeExactly 'FOUND   msvcr120.dll       Version '
    }
}

Describe 'Visual C++ runtime lines' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    AfterEach { Reset-FakeWindows }

    It 'lists <Case>' -ForEach @(
        @{ Case = 'both views sorted, one line per name whatever its letter case'; Is64Bit = $true
            Entries = @(
                @{ View = 'WOW6432Node'; DisplayName = 'Microsoft Visual C++ 2013 Redistributable (x86) - 12.0.40664'; DisplayVersion = '12.0.40664.0' }
                @{ View = 'Native'; DisplayName = 'Microsoft Visual C++ 2013 Redistributable (x64) - 12.0.40664'; DisplayVersion = '12.0.40664.0' }
                @{ View = 'Native'; DisplayName = 'Microsoft Visual C++ 2008 Redistributable - x86 9.0.30729.6161'; DisplayVersion = '9.0.30729.6161' }
                @{ View = 'WOW6432Node'; DisplayName = 'MICROSOFT VISUAL C++ 2008 REDISTRIBUTABLE - X86 9.0.30729.6161'; DisplayVersion = '9.0.30729.6161' }
            )
            Expected = @(
                'Microsoft Visual C++ 2008 Redistributable - x86 9.0.30729.6161 | 9.0.30729.6161'
                'Microsoft Visual C++ 2013 Redistributable (x64) - 12.0.40664 | 12.0.40664.0'
                'Microsoft Visual C++ 2013 Redistributable (x86) - 12.0.40664 | 12.0.40664.0') }
        @{ Case = 'only names that start with Microsoft Visual C++ and say Redistributable; no version gives an empty value'; Is64Bit = $true
            Entries = @(
                @{ View = 'Native'; DisplayName = $null; DisplayVersion = '1.0' }
                @{ View = 'Native'; DisplayName = 'Microsoft Visual C++ 2022 X64 Additional Runtime - 14.40.33810'; DisplayVersion = '14.40.33810' }
                @{ View = 'Native'; DisplayName = 'Redistributable of Microsoft Visual C++ 2010'; DisplayVersion = '10.0' }
                @{ View = 'Native'; DisplayName = 'Microsoft Visual C   2012 Redistributable'; DisplayVersion = '11.0' }
                @{ View = 'WOW6432Node'; DisplayName = 'microsoft visual c++ 2005 redistributable'; DisplayVersion = $null }
            )
            Expected = @('microsoft visual c++ 2005 redistributable | ') }
        @{ Case = '"No matching entries found." when nothing matches'; Is64Bit = $true
            Entries = @(@{ View = 'Native'; DisplayName = 'Cindral Online'; DisplayVersion = '1.4.2' })
            Expected = @('No matching entries found.') }
        @{ Case = 'the native view alone on 32-bit Windows'; Is64Bit = $false
            Entries = @(@{ View = 'Native'; DisplayName = 'Microsoft Visual C++ 2015-2022 Redistributable (x86) - 14.40.33810'; DisplayVersion = '14.40.33810.0' })
            Expected = @('Microsoft Visual C++ 2015-2022 Redistributable (x86) - 14.40.33810 | 14.40.33810.0') }
    ) {
        $machine = New-FakeWindows -Is64Bit $Is64Bit
        foreach ($entry in $Entries) {
            Add-FakeUninstallEntry $machine -View $entry.View -DisplayName $entry.DisplayName -DisplayVersion $entry.DisplayVersion
        }
        Use-FakeWindows $machine
        Assert-Lines (Get-Block '[INSTALLED VISUAL C++ RUNTIMES]') $Expected
    }

    It 'passes over an Uninstall view that cannot be read' {
        $machine = New-FakeWindows
        Add-FakeUninstallEntry $machine -DisplayName 'Microsoft Visual C++ 2015-2022 Redistributable (x64) - 14.40.33810' -DisplayVersion '14.40.33810.0'
        Add-FakeUninstallEntry $machine -View WOW6432Node -DisplayName 'Microsoft Visual C++ 2015-2022 Redistributable (x86) - 14.40.33810' -DisplayVersion '14.40.33810.0'
        Use-FakeWindows $machine
        Mock Get-ItemProperty -ParameterFilter { ([string]$Path) -like '*WOW6432Node*Uninstall*' } { throw 'Requested registry access is not allowed.' }
        Assert-Lines (Get-Block '[INSTALLED VISUAL C++ RUNTIMES]') @('Microsoft Visual C++ 2015-2022 Redistributable (x64) - 14.40.33810 | 14.40.33810.0')
    }
}

Describe 'Graphics lines' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    AfterEach { Reset-FakeWindows }

    It 'lists <Case>' -ForEach @(
        @{ Case = 'each adapter in query order, three lines each'; Adapters = @(
                @{ Name = 'Intel(R) UHD Graphics 630'; DriverVersion = '31.0.101.2125'; DriverDate = [datetime]'2023-05-02' }
                @{ Name = 'AMD Radeon RX 6600'; DriverVersion = '31.0.24027.1012'; DriverDate = $null })
            Expected = @(
                'Name          : Intel(R) UHD Graphics 630', 'DriverVersion : 31.0.101.2125', 'DriverDate    : 05/02/2023 00:00:00'
                'Name          : AMD Radeon RX 6600', 'DriverVersion : 31.0.24027.1012', 'DriverDate    : ') }
        @{ Case = 'nothing after the header without a video controller'; Adapters = @(); Expected = @() }
    ) {
        $machine = New-FakeWindows
        foreach ($adapter in $Adapters) {
            Add-FakeVideoController $machine -Name $adapter.Name -DriverVersion $adapter.DriverVersion -DriverDate $adapter.DriverDate
        }
        Use-FakeWindows $machine
        $block = @(Invoke-InCulture $Invariant { Get-Block '[GRAPHICS]' })
        Assert-Lines $block $Expected
    }

    It 'writes "Unable to query GPU: " and the message when the query fails' {
        $machine = New-FakeWindows
        $machine.Cim['Win32_VideoController'] = 'Invalid class "Win32_VideoController"'
        Use-FakeWindows $machine
        Assert-Lines (Get-Block '[GRAPHICS]') @('Unable to query GPU: Invalid class "Win32_VideoController"')
    }
}

Describe 'Microsoft Defender lines' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    BeforeEach {
        $machine = New-FakeWindows
        $machine.Defender.Status = [pscustomobject]@{ AntivirusEnabled = $true; RealTimeProtectionEnabled = $false; AntivirusSignatureLastUpdated = [datetime]'2025-06-12 23:04:05' }
        Use-FakeWindows $machine
        $statusLines = @('AntivirusEnabled         : True', 'RealTimeProtectionEnabled: False', 'SignatureLastUpdated     : 06/12/2025 23:04:05')
    }
    AfterEach { Reset-FakeWindows }

    It 'says only that the module is unavailable when Get-MpComputerStatus does not exist' {
        $machine.Defender.Module = $false
        Assert-Lines (Get-Block '[MICROSOFT DEFENDER STATUS - NO SETTINGS WERE CHANGED]') @('Microsoft Defender PowerShell module is unavailable (another antivirus may be installed).')
        Should -Invoke Get-MpComputerStatus -Exactly 0
    }

    It 'shows the status and "No recent Defender detections returned." when <Case>' -ForEach @(
        @{ Case = 'there are none'; Detections = @() }
        @{ Case = 'the detection query fails'; Detections = 'Operation failed with the following error: 0x800106ba' }
    ) {
        $machine.Defender.Detections = $Detections
        $block = @(Invoke-InCulture $Invariant { Get-Block '[MICROSOFT DEFENDER STATUS - NO SETTINGS WERE CHANGED]' })
        Assert-Lines $block ($statusLines + 'No recent Defender detections returned.')
    }

    It 'lists the 10 newest of 12 detections, newest first, resources joined with "; "' {
        $first = [datetime]'2025-06-01 12:00:00'
        foreach ($day in @(3, 11, 0, 7, 5, 9, 1, 10, 2, 8, 4, 6)) {
            $resources = @()
            if ($day -eq 11) { $resources = @('file:_C:\Games\crack.exe', 'file:_C:\Games\crack.dll') }
            Add-FakeThreatDetection $machine -Time $first.AddDays($day) -ThreatId (2147700000 + $day) -ActionSuccess ($day -ne 10) -Resources $resources
        }
        $block = @(Invoke-InCulture $Invariant { Get-Block '[MICROSOFT DEFENDER STATUS - NO SETTINGS WERE CHANGED]' })
        Assert-Lines $block[0..2] $statusLines
        $block[3] | Should -BeExactly 'Recent detections (up to 10):'
        $block.Count | Should -Be 14
        $block[4] | Should -BeExactly 'Time=06/12/2025 12:00:00; ThreatID=2147700011; ActionSuccess=True; Resources=file:_C:\Games\crack.exe; file:_C:\Games\crack.dll'
        $block[5] | Should -BeExactly 'Time=06/11/2025 12:00:00; ThreatID=2147700010; ActionSuccess=False; Resources='
        $block[13] | Should -BeExactly 'Time=06/03/2025 12:00:00; ThreatID=2147700002; ActionSuccess=True; Resources='
    }

    It 'writes "Unable to query Defender: " and the message when the status query fails' {
        $machine.Defender.Status = 'The service cannot be started.'
        Assert-Lines (Get-Block '[MICROSOFT DEFENDER STATUS - NO SETTINGS WERE CHANGED]') @('Unable to query Defender: The service cannot be started.')
    }
}

Describe 'Game file lines' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    BeforeEach {
        $machine = New-FakeWindows
        Use-FakeWindows $machine
        $games = Join-Path $machine.Root 'Games'
    }
    AfterEach { Reset-FakeWindows }

    It 'leaves the block out, empty line and header included, for the game path <Shown>' -ForEach @(
        @{ Shown = '""'; GamePath = '' }
        @{ Shown = 'of blanks'; GamePath = "  `t " }
    ) {
        $lines = @(Read-ReportLines (Invoke-Report -GamePath $GamePath))
        $lines | Should -Not -Contain '[GAME FILES]'
        $events = [array]::IndexOf($lines, '[RECENT APPLICATION ERRORS - LAST 48 HOURS]')
        $lines[$events - 1] | Should -BeExactly ''
        $lines[$events - 2] | Should -BeExactly 'No recent Defender detections returned.'
    }

    It 'writes only "Unable to inspect game path: ..." for a path that does not exist' {
        $missing = Join-Path $games 'NotThere'
        $block = @(Get-Block '[GAME FILES]' -GamePath $missing)
        $block.Count | Should -Be 1
        $block[0] | Should -BeLike 'Unable to inspect game path: *NotThere*'
    }

    It 'describes a single named file of any extension, hidden or with wildcard characters: "<Name>"' -ForEach @(
        @{ Name = 'readme.txt' }
        @{ Name = 'Cindral [EU].exe' }
        @{ Name = '.launcher.exe' }
    ) {
        $file = New-FakeFile (Join-Path $games $Name) -Content 'abc'
        $block = @(Get-Block '[GAME FILES]' -GamePath $file)
        Assert-Lines $block @(
            "Target: $file"
            "$Name | Size=3 | Version= | Signature=NotSigned | SHA256=BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD")
    }

    It 'takes a relative path from the current location' {
        $file = New-FakeFile (Join-Path $games 'launcher.exe') -Content 'abc'
        Push-Location $games
        try {
            $block = @(Get-Block '[GAME FILES]' -GamePath 'launcher.exe')
        } finally {
            Pop-Location
        }
        $block[0] | Should -BeExactly "Target: $file"
        $block[1] | Should -BeLike 'launcher.exe | Size=3 | *'
    }

    It 'lists the EXE and DLL files directly in a folder, letter case ignored, with version and signature' {
        $folder = Join-Path $games 'Cindral Online'
        $exe = New-FakeVersionedFile $machine -Path (Join-Path $folder 'GAME.EXE') -Version '1.4.2.0' -Content 'abc'
        Set-FakeSignature $machine -Path $exe -Status 'Valid'
        $null = New-FakeFile (Join-Path $folder 'engine.dll') -Content ''
        $null = New-FakeFile (Join-Path $folder 'readme.txt')
        $null = New-FakeFile (Join-Path $folder '.cache.dll')
        $null = New-FakeFile (Join-Path $folder 'plugins/extra.dll')
        $null = New-Item -ItemType Directory -Path (Join-Path $folder 'maps.dll')
        $block = @(Get-Block '[GAME FILES]' -GamePath $folder)
        $block[0] | Should -BeExactly "Target: $folder"
        Assert-Lines @($block | Select-Object -Skip 1 | Sort-Object) @(
            'engine.dll | Size=0 | Version= | Signature=NotSigned | SHA256=E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855'
            'GAME.EXE | Size=3 | Version=1.4.2.0 | Signature=Valid | SHA256=BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD')
    }

    It 'lists at most 100 of 150 files' {
        $folder = Join-Path $games 'Big'
        foreach ($i in 1..75) {
            $null = New-FakeFile (Join-Path $folder ('tool{0:000}.exe' -f $i))
            $null = New-FakeFile (Join-Path $folder ('lib{0:000}.dll' -f $i))
        }
        $null = New-FakeFile (Join-Path $folder 'sub/inner.dll')
        $block = @(Get-Block '[GAME FILES]' -GamePath $folder)
        $block.Count | Should -Be 101
        $names = @($block | Select-Object -Skip 1 | ForEach-Object { ($_ -split ' \| ')[0] })
        Assert-Lines @($names | Where-Object { $_ -notmatch '^(tool|lib)\d{3}\.(exe|dll)$' }) @()
        @($names | Sort-Object -Unique).Count | Should -Be 100
    }

    It 'says "No EXE or DLL files found at the selected target." for a folder without them' {
        $folder = Join-Path $games 'Docs'
        $null = New-FakeFile (Join-Path $folder 'manual.pdf')
        $null = New-FakeFile (Join-Path $folder 'bin/game.exe')
        Assert-Lines (Get-Block '[GAME FILES]' -GamePath $folder) @("Target: $folder", 'No EXE or DLL files found at the selected target.')
    }

    It 'keeps the lines of earlier files and stops at a file that cannot be read' {
        $folder = Join-Path $games 'Locked'
        foreach ($name in @('a.dll', 'b.dll', 'c.dll')) { $null = New-FakeFile (Join-Path $folder $name) }
        $listed = @(Get-ChildItem -LiteralPath $folder -File)
        $machine.UnreadableFiles = @($listed[1].FullName)
        $block = @(Get-Block '[GAME FILES]' -GamePath $folder)
        $block.Count | Should -Be 3
        $block[1] | Should -BeLike ('{0} | Size=4 | *' -f $listed[0].Name)
        $block[2] | Should -BeExactly ("Unable to inspect game path: Access to the path '{0}' is denied." -f $listed[1].FullName)
    }
}

Describe 'Recent application error lines' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    BeforeEach {
        $machine = New-FakeWindows
        $machine.Clock = $Clock
        Use-FakeWindows $machine
    }
    AfterEach { Reset-FakeWindows }

    It 'keeps error events of the four providers by whole name, letter case ignored, within 48 hours' {
        $at = $Clock.AddMinutes(-10)
        Add-FakeEvent $machine -TimeCreated $at -ProviderName 'Application Error' -Id 1000 -Message 'crash'
        Add-FakeEvent $machine -TimeCreated $at.AddMinutes(-1) -ProviderName 'application error' -Id 1001 -Message 'lower case'
        Add-FakeEvent $machine -TimeCreated $at.AddMinutes(-2) -ProviderName '.NET Runtime' -Id 1026 -Message 'unhandled'
        Add-FakeEvent $machine -TimeCreated $at.AddMinutes(-3) -ProviderName 'SideBySide' -Id 35 -Message 'manifest'
        Add-FakeEvent $machine -TimeCreated $at.AddMinutes(-4) -ProviderName 'Windows Error Reporting' -Id 1001 -Message 'bucket'
        Add-FakeEvent $machine -TimeCreated $at.AddMinutes(-5) -ProviderName 'Application Error Reporting' -Id 1 -Message 'longer name'
        Add-FakeEvent $machine -TimeCreated $at.AddMinutes(-6) -ProviderName 'Application' -Id 2 -Message 'shorter name'
        Add-FakeEvent $machine -TimeCreated $at.AddMinutes(-7) -ProviderName 'Application Error' -Id 3 -Message 'a warning' -Level 3
        Add-FakeEvent $machine -TimeCreated $at.AddMinutes(-8) -ProviderName 'Application Error' -Id 4 -Message 'system log' -LogName 'System'
        Add-FakeEvent $machine -TimeCreated $Clock.AddHours(-48).AddSeconds(-1) -ProviderName 'Application Error' -Id 5 -Message 'too old'
        $block = @(Invoke-InCulture $Invariant { Get-Block '[RECENT APPLICATION ERRORS - LAST 48 HOURS]' })
        Assert-Lines $block @(
            '06/14/2025 09:20:15 | Application Error | Event 1000 | crash'
            '06/14/2025 09:19:15 | application error | Event 1001 | lower case'
            '06/14/2025 09:18:15 | .NET Runtime | Event 1026 | unhandled'
            '06/14/2025 09:17:15 | SideBySide | Event 35 | manifest'
            '06/14/2025 09:16:15 | Windows Error Reporting | Event 1001 | bucket')
    }

    It 'reports the 20 newest of 25 matching events, newest first' {
        foreach ($minute in 1..25) {
            Add-FakeEvent $machine -TimeCreated $Clock.AddMinutes(-$minute) -ProviderName 'Application Error' -Id $minute -Message "crash $minute"
        }
        $block = @(Get-Block '[RECENT APPLICATION ERRORS - LAST 48 HOURS]')
        $block.Count | Should -Be 20
        Assert-Lines @($block | ForEach-Object { ($_ -split ' \| ')[3] }) @(1..20 | ForEach-Object { "crash $_" })
    }

    It 'replaces CR and LF by one blank each and cuts after 700 characters: <Case>' -ForEach @(
        @{ Case = '700 stay whole'; Message = ('a' * 349) + "`r`n" + ('b' * 349); Expected = ('a' * 349) + '  ' + ('b' * 349) }
        @{ Case = '701 become 700 and "..."'; Message = ('a' * 350) + "`n" + ('b' * 350); Expected = ('a' * 350) + ' ' + ('b' * 349) + '...' }
        @{ Case = 'no message gives empty text'; Message = $null; Expected = '' }
    ) {
        Add-FakeEvent $machine -TimeCreated $Clock.AddHours(-1) -ProviderName 'SideBySide' -Id 59 -Message $Message
        $block = @(Get-Block '[RECENT APPLICATION ERRORS - LAST 48 HOURS]')
        $block.Count | Should -Be 1
        $block[0].Substring($block[0].IndexOf(' | SideBySide | Event 59 | ') + ' | SideBySide | Event 59 | '.Length) | Should -BeExactly $Expected
    }

    It 'says "No matching recent errors found." when <Case>' -ForEach @(
        @{ Case = 'the window holds no error event at all'; Others = 0; OlderCrash = $false }
        @{ Case = 'only other providers reported errors'; Others = 3; OlderCrash = $false }
        @{ Case = 'the game crash is older than the 80 newest errors'; Others = 80; OlderCrash = $true }
    ) {
        for ($minute = 1; $minute -le $Others; $minute++) {
            Add-FakeEvent $machine -TimeCreated $Clock.AddMinutes(-$minute) -ProviderName 'MsiInstaller' -Id 11708
        }
        if ($OlderCrash) {
            Add-FakeEvent $machine -TimeCreated $Clock.AddHours(-5) -ProviderName 'Application Error' -Id 1000
        }
        Assert-Lines (Get-Block '[RECENT APPLICATION ERRORS - LAST 48 HOURS]') @('No matching recent errors found.')
    }

    It 'writes "Unable to query event log: " and the message when the query fails' {
        $machine.EventLogError = 'The RPC server is unavailable.'
        Assert-Lines (Get-Block '[RECENT APPLICATION ERRORS - LAST 48 HOURS]') @('Unable to query event log: The RPC server is unavailable.')
    }

    It 'asks the Application log once for at most 80 events, for this block and the likely causes' {
        $null = Invoke-Report
        Should -Invoke Get-WinEvent -Exactly 1
        Should -Invoke Get-WinEvent -Exactly 1 -ParameterFilter { @($LogName) -join ',' -eq 'Application' -and $MaxEvents -eq 80 }
    }
}

Describe 'Likely causes' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    BeforeEach {
        $machine = New-FakeWindows
        $machine.Clock = $Clock
        Use-FakeWindows $machine
        $games = Join-Path $machine.Root 'Games/Cindral Online'
        $sessionManager = 'HKLM:\SYSTEM\CurrentControlSet\Control\Session Manager'

        # A crash of an application in a module, as Windows records it: the names only in the
        # event data, the message in the player's language.
        function Add-Crash {
            param([string]$Application = 'CindralOnline.exe', [string]$Module, [int]$MinutesAgo = 30, [string]$Provider = 'Application Error', [int]$Id = 1000)
            Add-FakeEvent $machine -TimeCreated $Clock.AddMinutes(-$MinutesAgo) -ProviderName $Provider -Id $Id -Properties (Get-FakeCrashData -Application $Application -Module $Module) `
                -Message 'ชื่อแอปพลิเคชันที่ผิดพลาด: ชื่อโมดูลที่ผิดพลาด: ntdll.dll'
        }
    }
    AfterEach { Reset-FakeWindows }

    It 'maps the module "<Module>" to "<Prerequisite>"' -ForEach @(
        @{ Module = 'msvcr80.dll'; Prerequisite = 'Visual C++ 2005' }
        @{ Module = 'MFC80U.DLL'; Prerequisite = 'Visual C++ 2005' }
        @{ Module = 'msvcp90.dll'; Prerequisite = 'Visual C++ 2008' }
        @{ Module = 'MSVCR100.dll'; Prerequisite = 'Visual C++ 2010' }
        @{ Module = 'mfc110.dll'; Prerequisite = 'Visual C++ 2012' }
        @{ Module = 'msvcp120.dll'; Prerequisite = 'Visual C++ 2013' }
        @{ Module = 'MSVCP140.dll'; Prerequisite = 'Visual C++ v14' }
        @{ Module = 'msvcp140_atomic_wait.dll'; Prerequisite = 'Visual C++ v14' }
        @{ Module = 'VCRUNTIME140_1.dll'; Prerequisite = 'Visual C++ v14' }
        @{ Module = 'concrt140.dll'; Prerequisite = 'Visual C++ v14' }
        @{ Module = 'mfc140u.dll'; Prerequisite = 'Visual C++ v14' }
        @{ Module = 'C:\Windows\SysWOW64\vcruntime140.dll'; Prerequisite = 'Visual C++ v14' }
        @{ Module = 'D3DX9_43.dll'; Prerequisite = 'DirectX June 2010' }
        @{ Module = 'd3dx10_40.dll'; Prerequisite = 'DirectX June 2010' }
        @{ Module = 'd3dx11_43.dll'; Prerequisite = 'DirectX June 2010' }
        @{ Module = 'd3dcompiler_33.dll'; Prerequisite = 'DirectX June 2010' }
        @{ Module = 'D3DCompiler_43.dll'; Prerequisite = 'DirectX June 2010' }
        @{ Module = 'XINPUT1_3.DLL'; Prerequisite = 'DirectX June 2010' }
        @{ Module = 'xaudio2_0.dll'; Prerequisite = 'DirectX June 2010' }
        @{ Module = 'XAudio2_7.dll'; Prerequisite = 'DirectX June 2010' }
        @{ Module = 'X3DAudio1_7.dll'; Prerequisite = 'DirectX June 2010' }
        @{ Module = 'xactengine3_7.dll'; Prerequisite = 'DirectX June 2010' }
        @{ Module = 'mscoree.dll'; Prerequisite = '.NET Framework' }
        @{ Module = 'clr.dll'; Prerequisite = '.NET Framework' }
        # Parts of Windows itself, and runtimes that this tool does not install.
        @{ Module = 'd3d9.dll'; Prerequisite = '' }
        @{ Module = 'd3dcompiler_47.dll'; Prerequisite = '' }
        @{ Module = 'd3dcompiler_32.dll'; Prerequisite = '' }
        @{ Module = 'xinput1_4.dll'; Prerequisite = '' }
        @{ Module = 'xaudio2_8.dll'; Prerequisite = '' }
        @{ Module = 'ucrtbase.dll'; Prerequisite = '' }
        @{ Module = 'clrjit.dll'; Prerequisite = '' }
        @{ Module = 'msvcp140.dll.mui'; Prerequisite = '' }
    ) {
        $found = Get-ModulePrerequisite -Name $Module
        $name = ''
        if ($null -ne $found) { $name = $found.Name }
        $name | Should -BeExactly $Prerequisite
    }

    It 'says of the crashed-in <Module> that it <Expected>' -ForEach (@(
        @{ Module = 'msvcp140.dll'; Failed = @('Visual C++ v14 latest x64'); Expected = 'Visual C++ v14 — failed in this run' }
        @{ Module = 'msvcr100.dll'; Warned = @('Visual C++ 2010 SP1 x86'); Expected = 'Visual C++ 2010 — failed in this run' }
        @{ Module = 'clr.dll'; Failed = @('.NET Framework 3.5'); Completed = @('DotNet35'); NetFx = $true; Expected = '.NET Framework — failed in this run' }
        @{ Module = 'd3dx9_43.dll'; Failed = @('DirectX legacy runtime'); Completed = @('DXSETUP'); Expected = 'DirectX June 2010 — failed in this run' }
        @{ Module = 'xinput1_3.dll'; Completed = @('DirectX-Extract', 'DXSETUP'); Expected = 'DirectX June 2010 — was installed or repaired in this run' }
        @{ Module = 'msvcp120.dll'; Completed = @('vc2013-x86'); Warned = @('Visual C++ 2012 Update 4 x86'); Expected = 'Visual C++ 2013 — was installed or repaired in this run' }
        @{ Module = 'vcruntime140.dll'; Completed = @('vc14-latest-x64'); Expected = 'Visual C++ v14 — was installed or repaired in this run' }
        @{ Module = 'mscoree.dll'; Completed = @('DISM-NetFx3'); Expected = '.NET Framework — was installed or repaired in this run' }
        @{ Module = 'msvcp120.dll'; Uninstall = 'Microsoft Visual C++ 2013 Redistributable (x86) - 12.0.40664'; Expected = 'Visual C++ 2013 — is present' }
        @{ Module = 'msvcp140.dll'; Uninstall = 'Microsoft Visual C++ 2015-2022 Redistributable (x64) - 14.40.33810'; Completed = @('DISM-DirectPlay'); Expected = 'Visual C++ v14 — is present' }
        @{ Module = 'msvcr80.dll'; Manifest = $true; Expected = 'Visual C++ 2005 — is present' }
        @{ Module = 'd3dx9_42.dll'; SystemFile = 'SysWOW64/d3dx9_43.dll'; Expected = 'DirectX June 2010 — is present' }
        @{ Module = 'mscorwks.dll'; NetFx = $true; Expected = '.NET Framework — is present' }
        @{ Module = 'msvcr90.dll'; Uninstall = 'Microsoft Visual C++ 2010  x86 Redistributable - 10.0.40219'; Expected = 'Visual C++ 2008 — was not checked (diagnostics only)' }
        @{ Module = 'd3dx9_42.dll'; SystemFile = 'System32/d3dx9_43.dll'; Expected = 'DirectX June 2010 — was not checked (diagnostics only)' }
    ) | ForEach-Object {
        $row = @{ Failed = @(); Warned = @(); Completed = @(); Uninstall = ''; Manifest = $false; SystemFile = ''; NetFx = $false }
        foreach ($key in $_.Keys) { $row[$key] = $_[$key] }
        $row
    }) {
        Add-Crash -Module $Module
        Add-Crash -Module $Module -MinutesAgo 90
        foreach ($subject in $Failed) { Add-Failure -Message "${subject}: failed." -Subject $subject }
        foreach ($subject in $Warned) { Add-Warning -Message "${subject}: failed." -Subject $subject }
        foreach ($label in $Completed) { Add-RunRecordEntry -Outcome Completed -Item $label -ExitCode 0 }
        # The log is for people: a log whose lines claim that every installer completed, and
        # one that is gone, change nothing of what the run record says.
        $script:LogPath = Join-Path $TestDrive ('Setup-{0}.log' -f [guid]::NewGuid().ToString('N'))
        [System.IO.File]::WriteAllLines($script:LogPath, [string[]]@(
                foreach ($label in @('vc2005sp1-x86', 'vc2008sp1-x86', 'vc2010sp1-x86', 'vc2012u4-x86', 'vc2013-x86', 'vc14-latest-x86', 'vc14-latest-x64', 'DXSETUP', 'DISM-NetFx3', 'DotNet35')) {
                    "[2025-06-14 09:22:00] [OK] $label completed (exit code 0)."
                }))
        if ($Uninstall) { Add-FakeUninstallEntry $machine -View WOW6432Node -DisplayName $Uninstall }
        if ($Manifest) { $null = New-FakeFile (Join-Path $machine.SystemRoot 'WinSxS/Manifests/x86_microsoft.vc80.crt_1fc8b3b9a1e18e3b_8.0.50727.6195_none_d09154e044272b9a.manifest') }
        if ($SystemFile) { $null = New-FakeFile (Join-Path $machine.SystemRoot $SystemFile) }
        if ($NetFx) { Mock Test-NetFx35Installed { $true } }
        Assert-Lines (Get-Block '[LIKELY CAUSES]') @("CindralOnline.exe crashed 2 time(s) in ${Module}: $Expected")
        [System.IO.File]::Delete($script:LogPath)
        Assert-Lines (Get-Block '[LIKELY CAUSES]') @("CindralOnline.exe crashed 2 time(s) in ${Module}: $Expected")
    }

    It 'counts crashes per application and module from the event data alone, newest first' {
        Add-Crash -Module 'MSVCP140.dll' -MinutesAgo 5
        Add-Crash -Module 'd3dx9_43.dll' -MinutesAgo 6
        Add-Crash -Module 'msvcp140.dll' -MinutesAgo 7
        Add-Crash -Application 'CindralLauncher.exe' -Module 'msvcp140.dll' -MinutesAgo 8
        Add-Crash -Module 'KERNELBASE.dll' -MinutesAgo 9
        Add-Crash -Module 'msvcp140.dll' -MinutesAgo 10 -Id 1001
        Add-Crash -Module 'msvcp140.dll' -MinutesAgo 11 -Provider '.NET Runtime'
        Add-FakeEvent $machine -TimeCreated $Clock.AddMinutes(-12) -ProviderName 'Application Error' -Id 1000 -Message 'Faulting application name: CindralOnline.exe Faulting module name: msvcr100.dll'
        Add-Crash -Module 'msvcr120.dll' -MinutesAgo (48 * 60 + 1)
        Assert-Lines (Get-Block '[LIKELY CAUSES]') @(
            'CindralOnline.exe crashed 2 time(s) in MSVCP140.dll: Visual C++ v14 — was not checked (diagnostics only)'
            'CindralOnline.exe crashed 1 time(s) in d3dx9_43.dll: DirectX June 2010 — was not checked (diagnostics only)'
            'CindralLauncher.exe crashed 1 time(s) in msvcp140.dll: Visual C++ v14 — was not checked (diagnostics only)')
    }

    It 'lists runtime DLLs of the game folder with their machine type read from the PE header: <Case>' -ForEach @(
        @{ Case = 'a folder, compared with its largest EXE'; Target = ''
            Expected = @(
                'd3dx9_43.dll in the game folder is x64 but CindralOnline.exe is x86'
                'msvcp140.dll in the game folder is ARM64 but CindralOnline.exe is x86'
                'xinput1_3.dll in the game folder is not a valid PE image (DirectX June 2010)'
                'XAudio2_7.dll in the game folder is x86 and is loaded instead of the system''s copy (DirectX June 2010)'
                'xinput1_1.dll in the game folder is not a valid PE image (DirectX June 2010)'
                'vcruntime140.dll in the game folder is machine 0x01C4 but CindralOnline.exe is x86') }
        @{ Case = 'the x64 EXE named, not the largest one'; Target = 'Helper64.exe'
            Expected = @(
                'd3dx9_43.dll in the game folder is x64 and is loaded instead of the system''s copy (DirectX June 2010)'
                'msvcp140.dll in the game folder is ARM64 but Helper64.exe is x64'
                'xinput1_3.dll in the game folder is not a valid PE image (DirectX June 2010)'
                'XAudio2_7.dll in the game folder is x86 but Helper64.exe is x64'
                'xinput1_1.dll in the game folder is not a valid PE image (DirectX June 2010)'
                'vcruntime140.dll in the game folder is machine 0x01C4 but Helper64.exe is x64') }
    ) {
        $null = New-FakePeFile (Join-Path $games 'CindralOnline.exe') -Machine x86 -Size 4096
        $null = New-FakePeFile (Join-Path $games 'Helper64.exe') -Machine x64
        $null = New-FakePeFile (Join-Path $games 'd3dx9_43.dll') -Machine x64
        $null = New-FakePeFile (Join-Path $games 'msvcp140.dll') -Machine ARM64
        $null = New-FakePeFile (Join-Path $games 'vcruntime140.dll') -Machine 0x01C4
        $null = New-FakePeFile (Join-Path $games 'XAudio2_7.dll') -Machine x86
        $null = New-FakePeFile (Join-Path $games 'engine.dll') -Machine x64
        $null = New-FakePeFile (Join-Path $games 'plugins/d3dx9_42.dll') -Machine x64
        $null = New-FakeFile (Join-Path $games 'xinput1_3.dll') -Content 'MZ but nothing else'
        $broken = New-FakePeFile (Join-Path $games 'xinput1_1.dll') -Machine x86
        $bytes = [System.IO.File]::ReadAllBytes($broken)
        $bytes[0x3C] = 0xF0
        [System.IO.File]::WriteAllBytes($broken, $bytes)
        $path = $games
        if ($Target) { $path = Join-Path $games $Target }
        $block = @(Get-Block '[LIKELY CAUSES]' -GamePath $path)
        Assert-Lines @($block | Sort-Object) @($Expected | Sort-Object)
    }

    It 'names Windows'' own pending restart from <Case>' -ForEach @(
        @{ Case = 'no source'; Keys = @(); Renames = $null; Expected = @('No likely cause found.') }
        @{ Case = 'only empty rename entries'; Keys = @(); Renames = @('', ''); Expected = @('No likely cause found.') }
        @{ Case = 'servicing'; Keys = @('HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\Component Based Servicing\RebootPending'); Renames = $null
            Expected = @('Windows has a restart pending (Component Based Servicing): restart, then run this tool again.') }
        @{ Case = 'Windows Update'; Keys = @('HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\WindowsUpdate\Auto Update\RebootRequired'); Renames = $null
            Expected = @('Windows has a restart pending (Windows Update): restart, then run this tool again.') }
        @{ Case = 'file renames'; Keys = @(); Renames = @('\??\C:\Program Files\Cindral\old.dll', '')
            Expected = @('Windows has a restart pending (PendingFileRenameOperations): restart, then run this tool again.') }
        @{ Case = 'all three'; Renames = @('\??\C:\Windows\Temp\x.tmp')
            Keys = @('HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\Component Based Servicing\RebootPending', 'HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\WindowsUpdate\Auto Update\RebootRequired')
            Expected = @('Windows has a restart pending (Component Based Servicing, Windows Update, PendingFileRenameOperations): restart, then run this tool again.') }
        @{ Case = 'a key next to the servicing one'; Keys = @('HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\Component Based Servicing\PackagesPending'); Renames = $null
            Expected = @('No likely cause found.') }
    ) {
        foreach ($key in $Keys) { Add-FakeRegistryKey $machine -Key $key }
        if ($null -ne $Renames) { Set-FakeRegistryValue $machine -Key $sessionManager -Name 'PendingFileRenameOperations' -Value ([string[]]$Renames) }
        $lines = @(Read-ReportLines (Invoke-Report))
        Assert-Lines (Get-ReportBlock $lines '[LIKELY CAUSES]') $Expected
        $lines | Should -Contain 'Pending reboot: False' -Because 'that line still speaks only of this run''s installers'
    }

    It 'warns of <Free> bytes free on the system drive with "<Expected>"' -ForEach @(
        @{ Free = [long]2GB; Expected = 'No likely cause found.' }
        @{ Free = [long]2GB - 1; Expected = 'Only 1.9 GB free on C: installers may fail.' }
        @{ Free = [long]512MB; Expected = 'Only 0.5 GB free on C: installers may fail.' }
        @{ Free = [long]0; Expected = 'Only 0.0 GB free on C: installers may fail.' }
    ) {
        $machine.FreeSpace['C:'] = $Free
        Assert-Lines (Invoke-InCulture $Invariant { Get-Block '[LIKELY CAUSES]' }) @($Expected)
    }

    It 'turns the error of each check into "Unable to check ..." and still runs the others' {
        $machine.EventLogError = 'The RPC server is unavailable.'
        $machine.FreeSpace['C:'] = 'The device is not ready.'
        Add-FakeRegistryKey $machine -Key 'HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\WindowsUpdate\Auto Update\RebootRequired'
        Mock Get-ItemProperty -ParameterFilter { ([string]$LiteralPath) -like '*Session Manager' } { throw 'Requested registry access is not allowed.' }
        $lines = @(Read-ReportLines (Invoke-Report -GamePath (Join-Path $games 'NotThere')))
        $block = @(Get-ReportBlock $lines '[LIKELY CAUSES]')
        $block.Count | Should -Be 4
        $block[0] | Should -BeExactly 'Unable to check crashes: The RPC server is unavailable.'
        $block[1] | Should -BeLike 'Unable to check game folder DLLs: *NotThere*'
        $block[2] | Should -BeExactly 'Unable to check pending restart: Requested registry access is not allowed.'
        $block[3] | Should -BeExactly 'Unable to check free space: The device is not ready.'
    }

    It 'stands right before the setup result, in the order crashes, game folder, restart, free space, at most 20 lines' {
        foreach ($i in 1..22) { Add-Crash -Application ('tool{0:00}.exe' -f $i) -Module 'msvcr120.dll' -MinutesAgo $i }
        $null = New-FakePeFile (Join-Path $games 'd3dx9_43.dll') -Machine x64
        Add-FakeRegistryKey $machine -Key 'HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\Component Based Servicing\RebootPending'
        $machine.FreeSpace['C:'] = [long]1GB
        $lines = @(Read-ReportLines (Invoke-Report -GamePath $games))
        $block = @(Get-ReportBlock $lines '[LIKELY CAUSES]')
        $block.Count | Should -Be 20
        $block[0] | Should -BeExactly 'tool01.exe crashed 1 time(s) in msvcr120.dll: Visual C++ 2013 — was not checked (diagnostics only)'
        $block[19] | Should -BeExactly 'tool20.exe crashed 1 time(s) in msvcr120.dll: Visual C++ 2013 — was not checked (diagnostics only)'

        $machine.Events.Clear()
        $lines = @(Read-ReportLines (Invoke-Report -GamePath $games))
        Assert-Lines (Get-ReportBlock $lines '[LIKELY CAUSES]') @(
            'd3dx9_43.dll in the game folder is x64 and is loaded instead of the system''s copy (DirectX June 2010)'
            'Windows has a restart pending (Component Based Servicing): restart, then run this tool again.'
            'Only 1.0 GB free on C: installers may fail.')
        $headers = @($lines | Where-Object { $_ -like '`[*`]' })
        $headers[-4..-1] | Should -Be @('[GAME FILES]', '[RECENT APPLICATION ERRORS - LAST 48 HOURS]', '[LIKELY CAUSES]', '[SETUP RESULT]')
    }
}

Describe 'Setup result and privacy note' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    BeforeEach {
        Use-FakeWindows (New-FakeWindows)
    }
    AfterEach { Reset-FakeWindows }

    It 'after <Case>' -ForEach @(
        @{ Case = 'a clean run'; Failures = @(); Warnings = @(); LogName = 'Setup-20250614-093000.log'
            Expected = @('Critical failures: none', 'Warnings: none', 'Setup log: {LOG}') }
        @{ Case = 'failures and warnings, in the order recorded'; LogName = 'Setup-20250614-093001.log'
            Failures = @('.NET Framework 3.5: DISM exited with code 0x800f0954.', 'DirectX legacy runtime: download failed.')
            Warnings = @('DirectPlay: DISM exited with code 50.')
            Expected = @('FAIL: .NET Framework 3.5: DISM exited with code 0x800f0954.', 'FAIL: DirectX legacy runtime: download failed.', 'WARN: DirectPlay: DISM exited with code 50.', 'Setup log: {LOG}') }
        @{ Case = 'a fatal error before the log file existed'; Failures = @('Fatal error: The operation was canceled by the user.'); Warnings = @(); LogName = ''
            Expected = @('FAIL: Fatal error: The operation was canceled by the user.', 'Warnings: none', 'Setup log: ') }
    ) {
        foreach ($failure in $Failures) { $script:Failures.Add($failure) }
        foreach ($warning in $Warnings) { $script:Warnings.Add($warning) }
        if ($LogName -ne '') {
            $script:LogPath = Join-Path $TestDrive $LogName
        }
        $lines = @(Read-ReportLines (Invoke-Report))
        Assert-Lines (Get-ReportBlock $lines '[SETUP RESULT]') @($Expected | ForEach-Object { $_.Replace('{LOG}', $script:LogPath) })
        $lines[-2] | Should -BeExactly ''
        $lines[-1] | Should -BeExactly 'Privacy note: This report can include computer name, local file paths and recent application error details. Review it before sharing.'
    }
}

Describe 'Where and when the report is written' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    BeforeEach {
        $machine = New-FakeWindows
        $machine.Clock = $Clock
    }
    AfterEach { Reset-FakeWindows }

    It 'goes to TEMP when the desktop folder <Case>' -ForEach @(
        @{ Case = 'does not exist'; Desktop = 'missing' }
        @{ Case = 'is empty'; Desktop = '' }
        @{ Case = 'is blank'; Desktop = '   ' }
    ) {
        if ($Desktop -eq 'missing') {
            Remove-Item -LiteralPath $machine.Desktop -Recurse -Force
        } else {
            $machine.Desktop = $Desktop
        }
        Use-FakeWindows $machine
        $path = Invoke-Report
        $path | Should -BeExactly (Join-Path $machine.Temp 'ORVELLE-Diagnostic-20250614-093015.txt')
        Test-Path -LiteralPath $path | Should -BeTrue
    }

    It 'replaces a report of the same second with the later one' {
        Use-FakeWindows $machine
        $first = Invoke-Report
        $script:Failures.Add('DirectX legacy runtime: DXSETUP.exe exited with code -9.')
        $second = Invoke-Report
        $second | Should -BeExactly $first
        @(Get-ChildItem -LiteralPath $machine.Desktop).Count | Should -Be 1
        Read-ReportLines $second | Should -Contain 'FAIL: DirectX legacy runtime: DXSETUP.exe exited with code -9.'
    }

    It 'counts the year in the Thai Buddhist calendar under th-TH, in the name and the Created line' {
        Use-FakeWindows $machine
        $thai = New-Object System.Globalization.CultureInfo 'th-TH'
        $thai.DateTimeFormat.Calendar = New-Object System.Globalization.ThaiBuddhistCalendar
        $path = Invoke-InCulture $thai { Invoke-Report }
        Split-Path -Leaf $path | Should -BeExactly 'ORVELLE-Diagnostic-25680614-093015.txt'
        (Read-ReportLines $path)[2] | Should -BeExactly ('Created      : 2568-06-14 09:30:15 {0}' -f (Get-OffsetText $Clock))
    }

    It 'writes dates in the general form and booleans as True/False under de-DE' {
        if (Test-TestHostWine) { Set-ItResult -Skipped -Because 'the de-DE short date of Wine''s locale data is d.M.yyyy, not dd.MM.yyyy as on Windows' }
        Add-FakeVideoController $machine -Name 'GPU' -DriverVersion '1.0' -DriverDate ([datetime]'2024-03-12 14:05:00')
        Use-FakeWindows $machine
        $lines = @(Invoke-InCulture (New-Object System.Globalization.CultureInfo 'de-DE') { Read-ReportLines (Invoke-Report) })
        (Get-ReportBlock $lines '[GRAPHICS]')[2] | Should -BeExactly 'DriverDate    : 12.03.2024 14:05:00'
        (Get-ReportBlock $lines '[WINDOWS]')[4] | Should -BeExactly 'Admin        : True'
        (Get-ReportBlock $lines '[MICROSOFT DEFENDER STATUS - NO SETTINGS WERE CHANGED]')[2] | Should -BeExactly 'SignatureLastUpdated     : 13.06.2025 07:15:00'
    }

    It 'writes a value holding CR, LF, TAB and ESC as one line with a blank for each' {
        Add-FakeVideoController $machine -Name "NVIDIA`r`nGeForce`tRTX$([char]27)[31m 3060" -DriverVersion "31.0`n15" -DriverDate $null
        Use-FakeWindows $machine
        $script:Failures.Add("DirectX legacy runtime: DXSETUP.exe said`r`nAccess$([char]0x85)denied`0.")
        $lines = @(Read-ReportLines (Invoke-Report))
        Assert-Lines (Get-ReportBlock $lines '[GRAPHICS]') @('Name          : NVIDIA  GeForce RTX [31m 3060', 'DriverVersion : 31.0 15', 'DriverDate    : ')
        (Get-ReportBlock $lines '[SETUP RESULT]')[0] | Should -BeExactly 'FAIL: DirectX legacy runtime: DXSETUP.exe said  Access denied .'
    }

    It 'creates a new regular file where a link to <Case> stood, and leaves the target alone' -ForEach @(
        @{ Case = 'a file elsewhere'; TargetExists = $true }
        @{ Case = 'a file that does not exist'; TargetExists = $false }
    ) {
        Use-FakeWindows $machine
        $target = Join-Path $machine.Root 'Users/Other/notes.txt'
        $null = New-Item -ItemType Directory -Path (Split-Path -Parent $target) -Force
        if ($TargetExists) { [System.IO.File]::WriteAllText($target, 'not the report') }
        $link = Join-Path $machine.Desktop 'ORVELLE-Diagnostic-20250614-093015.txt'
        New-TestLink -Path $link -Target $target
        $path = Invoke-Report
        $path | Should -BeExactly $link
        ((Get-Item -LiteralPath $path -Force).Attributes -band [System.IO.FileAttributes]::ReparsePoint) | Should -Be 0
        (Read-ReportLines $path)[0] | Should -BeExactly 'ORVELLE GAME SUPPORT - DIAGNOSTIC REPORT'
        if ($TargetExists) {
            [System.IO.File]::ReadAllText($target) | Should -BeExactly 'not the report'
        } else {
            Test-Path -LiteralPath $target | Should -BeFalse
        }
    }

    It 'writes the report beside a report of the same second that another program holds open, and returns that name' {
        Use-FakeWindows $machine
        $held = New-FakeFile (Join-Path $machine.Desktop 'ORVELLE-Diagnostic-20250614-093015.txt') -Content 'open in an editor'
        Set-FakeHeldFile $machine -Path $held
        $path = Invoke-Report
        $path | Should -BeExactly (Join-Path $machine.Desktop ('ORVELLE-Diagnostic-20250614-093015-{0}.txt' -f (Get-FakeRandomTail 1)))
        (Read-ReportLines $path)[0] | Should -BeExactly 'ORVELLE GAME SUPPORT - DIAGNOSTIC REPORT'
        [System.IO.File]::ReadAllText($held) | Should -BeExactly 'open in an editor'
    }

    It 'throws and writes no file when an unguarded part fails' {
        Use-FakeWindows $machine
        Mock Get-WindowsBuildInfo { throw 'Cannot find path ''HKLM:\SOFTWARE\Microsoft\Windows NT\CurrentVersion''.' }
        { New-DiagnosticReport 6>$null } | Should -Throw '*CurrentVersion*'
        @(Get-ChildItem -LiteralPath $machine.Desktop).Count | Should -Be 0
    }
}
