# Whole runs on simulated players' machines: the real main sequence, steps, runner, verified
# download, report and completion message, with only Windows itself simulated (programs,
# network, registry, features, signatures, folder security).

BeforeAll {
    . (Join-Path $PSScriptRoot 'FakeWindows.ps1')
    . $SetupScriptPath

    # What each Windows downloads, by label in order, and runs, from the script's own tables.
    function Get-VisualCppRows {
        param([string[]]$Runs)
        @($script:VisualCppPackages | Where-Object { $Runs -contains $_.Architecture })
    }
    $script:DirectXUrl = 'https://download.microsoft.com/download/8/4/a/84a35bf1-dafe-4ae8-82af-ad2ae20b6b14/directx_Jun2010_redist.exe'
    $script:MicrosoftUrls = [ordered]@{}
    foreach ($package in (Get-VisualCppRows 'x86', 'x64')) { $script:MicrosoftUrls[$package.Name] = $package.Url }
    $script:MicrosoftUrls['DirectX End-User Runtimes (June 2010)'] = $script:DirectXUrl
    function Get-VisualCppLabels {
        param([string[]]$Runs)
        @(Get-VisualCppRows $Runs | ForEach-Object { $_.File -replace '\.exe$', '' })
    }
    $script:Labels64 = @('DISM-NetFx3', 'DISM-DirectPlay') + (Get-VisualCppLabels 'x86', 'x64') + @('DirectX-Extract', 'DXSETUP')
    $script:SuccessText = 'ติดตั้ง/ซ่อมแซมส่วนประกอบพื้นฐานเสร็จแล้ว'
    $script:AttentionText = 'ดำเนินการเสร็จแล้ว แต่มีบางรายการต้องตรวจสอบจากรายงานบน Desktop'
    $script:RestartText = 'กรุณารีสตาร์ต Windows ก่อนเข้าเกม'

    # A machine with programs and a network, its clock stopped at the given time.
    function New-ScenarioMachine {
        param([hashtable]$Windows = @{}, [bool]$Online = $true, [datetime]$Clock = '2026-12-08T18:30:05')
        $machine = New-FakeWindows @Windows
        $machine.Clock = $Clock
        Add-FakeProgramsAndNetwork $machine -Online $Online
        return $machine
    }

    # Runs the whole script on the machine in use and gathers what a player and a support
    # engineer would see: exit code, console, log, report files and message boxes.
    function Invoke-Scenario {
        param($Machine, [switch]$DiagnosticsOnly, [string]$GamePath = '', [switch]$Unattended, [string]$Layout = '', [string]$PackageSource = '', [string]$LauncherFolder = '')
        Reset-SetupState
        $script:scenarioExit = $null
        $console = @(Get-ConsoleLines { $script:scenarioExit = Invoke-SetupSequence -DiagnosticsOnly:$DiagnosticsOnly -GamePath $GamePath -Unattended:$Unattended -Layout $Layout -PackageSource $PackageSource -LauncherFolder $LauncherFolder })
        $reports = @(Get-ChildItem -LiteralPath $Machine.Desktop -Filter 'ORVELLE-Diagnostic-*.txt' -File -ErrorAction SilentlyContinue)
        $adminReports = @(Get-ChildItem -LiteralPath (Join-Path $Machine.ProgramData 'ORVELLE/Game Support/Reports') -Filter 'ORVELLE-Diagnostic-*.txt' -File -ErrorAction SilentlyContinue)
        $reportLines = @()
        if ($reports.Count -eq 1) {
            $reportLines = @([System.IO.File]::ReadAllText($reports[0].FullName) -split "`r`n")
        }
        return [pscustomobject]@{
            ExitCode = $script:scenarioExit
            Console  = $console
            Log      = @(Get-LogLines)
            Reports  = $reports
            AdminReports = $adminReports
            Report   = $reportLines
            Failures = @($script:Failures)
            Warnings = @($script:Warnings)
        }
    }

    # The runner labels of the programs the run started, in order.
    function Get-RunLabels {
        param([string[]]$Log)
        @($Log | Where-Object { $_ -like '`[INFO`] Running *' } | ForEach-Object { ($_ -replace '^\[INFO\] Running ', '') -replace ':.*$', '' })
    }

    # The lines of one report block, without its header.
    function Get-ReportBlock {
        param([string[]]$Report, [string]$Header)
        $start = [array]::IndexOf($Report, $Header)
        if ($start -lt 0) { return $null }
        $block = @()
        for ($i = $start + 1; $i -lt $Report.Count -and $Report[$i] -ne ''; $i++) { $block += $Report[$i] }
        return $block
    }

    function Get-ConsoleSummary {
        param($Console)
        $start = [array]::LastIndexOf(@($Console.Text), '=' * 47) - 3
        if ($start -lt 0) { return @() }
        @($Console | Select-Object -Skip $start | ForEach-Object { '{0}|{1}' -f $_.Colour, $_.Text })
    }
}

Describe 'Windows 11 x64, nothing installed, online' {
    BeforeAll {
        $machine = New-ScenarioMachine -Windows @{ Build = 26100; DisplayVersion = '24H2' }
        Set-FakeProgram $machine -Name 'vc14-latest-x64.exe' -ExitCode 3010
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine
    }
    AfterAll { Reset-FakeWindows }

    It 'installs everything and ends with exit code 0' {
        $run.ExitCode | Should -Be 0
        $run.Failures | Should -BeNullOrEmpty
        $run.Warnings | Should -BeNullOrEmpty
        Get-RunLabels $run.Log | Should -Be $Labels64
    }

    It 'downloads each package once from its Microsoft address and verifies it before running it' {
        @($machine.Transfers) | Should -Be @($script:MicrosoftUrls.Values)
        $machine.Pauses | Should -BeNullOrEmpty
        $log = $run.Log -join "`n"
        foreach ($file in 'vc2005sp1-x86.exe', 'vc14-latest-x64.exe', 'directx_Jun2010_redist.exe', 'DXSETUP.exe') {
            $log | Should -Match ('\[OK\] Verified Microsoft signature and SHA-256 for ' + [regex]::Escape($file) + ': [0-9A-F]{64}\n\[INFO\] Running ')
        }
        $run.Log | Should -Contain '[OK] .NET Framework 3.5 verification passed.'
        $run.Log | Should -Contain '[OK] DirectX legacy DLL verification passed (d3dx9_43.dll).'
    }

    It 'asks for a restart because an installer needed one' {
        $run.Report | Should -Contain 'Pending reboot: True'
        Get-ConsoleSummary $run.Console | Should -Be @(
            '|', 'Green|===============================================', 'Green|  INSTALLATION / REPAIR COMPLETED',
            'Green|===============================================', ('White|Diagnostic report: ' + $run.Reports[0].FullName),
            'Yellow|Please restart Windows before opening the game.',
            'Gray|This tool did not disable antivirus or add Defender exclusions.', '|')
        $machine.MessageBoxes.Count | Should -Be 1
        $machine.MessageBoxes[0].Text | Should -BeExactly ($script:SuccessText + "`r`n" + $script:RestartText)
        $machine.MessageBoxes[0].Caption | Should -BeExactly 'ORVELLE GAME SUPPORT'
        $machine.MessageBoxes[0].Icon | Should -Be 'Information'
    }

    It 'writes a report that shows the repaired machine' {
        $run.Reports.Count | Should -Be 1
        $run.Reports[0].Name | Should -BeExactly 'ORVELLE-Diagnostic-20261208-183005.txt'
        Get-ReportBlock $run.Report '[WINDOWS FEATURES]' | Should -Be @(
            '.NET Framework 3.5 installed : True', 'NetFx3 feature state         : Enabled', 'DirectPlay feature state     : Enabled')
        Get-ReportBlock $run.Report '[INSTALLED VISUAL C++ RUNTIMES]' | Should -Be @(
            'Microsoft Visual C++ 2005 Redistributable | 8.0.61001'
            'Microsoft Visual C++ 2008 Redistributable - x86 9.0.30729.6161 | 9.0.30729.6161'
            'Microsoft Visual C++ 2010  x86 Redistributable - 10.0.40219 | 10.0.40219'
            'Microsoft Visual C++ 2012 Redistributable (x86) - 11.0.61030 | 11.0.61030.0'
            'Microsoft Visual C++ 2013 Redistributable (x86) - 12.0.40664 | 12.0.40664.0'
            'Microsoft Visual C++ 2015-2022 Redistributable (x64) - 14.44.35211 | 14.44.35211.0'
            'Microsoft Visual C++ 2015-2022 Redistributable (x86) - 14.44.35211 | 14.44.35211.0')
        (Get-ReportBlock $run.Report '[DIRECTX / COMMON DLL FILES]') | Should -Contain 'FOUND   d3dx9_43.dll       Version '
        Get-ReportBlock $run.Report '[SETUP RESULT]' | Should -Be @('Critical failures: none', 'Warnings: none', ('Setup log: ' + $script:LogPath))
        $script:LogPath | Should -BeLike '*Setup-20261208-183005.log'
    }
}

Describe 'Windows 11 26H1 (build 28000), nothing installed, online' {
    BeforeAll {
        $machine = New-ScenarioMachine -Windows @{ Build = 28000; DisplayVersion = '26H1' }
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine
    }
    AfterAll { Reset-FakeWindows }

    It 'installs .NET Framework 3.5 from Microsoft''s verified installer instead of DISM' {
        $run.ExitCode | Should -Be 0
        $machine.Transfers[0] | Should -BeExactly 'https://go.microsoft.com/fwlink/?LinkID=2337635'
        # A fresh machine: the run creates its folders, draws its first random name for the
        # folder the download lands in and the next for the folder the installer runs from.
        $installer = Join-Path ('{0}.{1}' -f (Join-Path $script:WorkDir 'Install'), (Get-FakeRandomTail 2)) 'DotNet35Setup-Windows11-26H1.exe'
        $run.Log | Should -Contain "[INFO] Running DotNet35: $installer /quiet /norestart"
        (Get-RunLabels $run.Log)[0..1] | Should -Be @('DotNet35', 'DISM-DirectPlay')
        $run.Log | Should -Contain '[OK] .NET Framework 3.5 verification passed.'
        $run.Report | Should -Contain '.NET Framework 3.5 installed : True'
    }
}

Describe 'Windows 10 x64, everything present, cached installers' {
    BeforeAll {
        $machine = New-ScenarioMachine -Windows @{ Build = 19045; Caption = 'Microsoft Windows 10 Pro'; DisplayVersion = '22H2' }
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        # An earlier run installed everything and left its verified installers behind.
        $earlier = Invoke-Scenario $machine
        $earlier.ExitCode | Should -Be 0
        Remove-Item -LiteralPath $earlier.Reports[0].FullName
        $machine.Transfers.Clear()
        $machine.MessageBoxes.Clear()
        $machine.Online = $false
        $machine.Clock = [datetime]'2026-12-09T09:00:00'
        $run = Invoke-Scenario $machine
    }
    AfterAll { Reset-FakeWindows }

    It 'touches no network at all and ends with exit code 0' {
        $machine.Transfers | Should -BeNullOrEmpty
        $run.ExitCode | Should -Be 0
        $run.Failures | Should -BeNullOrEmpty
        $run.Warnings | Should -BeNullOrEmpty
    }

    It 'passes over what is present and reuses every verified installer' {
        $run.Log | Should -Contain '[OK] .NET Framework 3.5 is already installed.'
        $run.Log | Should -Contain '[OK] DirectPlay is already enabled.'
        $run.Log | Should -Contain '[OK] Visual C++ 2005 SP1 x86 is already installed (version 8.0.61001) - skipped to prevent duplicate-version popups.'
        foreach ($label in @($script:MicrosoftUrls.Keys | Select-Object -Skip 1)) {
            $run.Log | Should -Contain "[OK] Using verified cached file for $label."
        }
        @($run.Log | Where-Object { $_ -like '*Downloading *' }) | Should -BeNullOrEmpty
        # Everything but the DISM runs and the installed Visual C++ 2005.
        Get-RunLabels $run.Log | Should -Be @($Labels64 | Select-Object -Skip 2 | Where-Object { $_ -ne 'vc2005sp1-x86' })
    }

    It 'shows the success form with the play hint' {
        $run.Report | Should -Contain 'Pending reboot: False'
        $run.Console.Text | Should -Contain 'You can try opening the Cindral Online launcher now.'
        $machine.MessageBoxes[0].Text | Should -BeExactly $script:SuccessText
        $machine.MessageBoxes[0].Icon | Should -Be 'Information'
    }
}

Describe 'Windows 10 x86, nothing installed, online' {
    BeforeAll {
        $machine = New-ScenarioMachine -Windows @{ Build = 19045; Caption = 'Microsoft Windows 10 Home'; DisplayVersion = '22H2'; Architecture = 'x86' }
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine
    }
    AfterAll { Reset-FakeWindows }

    It 'installs the x86 packages only and checks the DirectX DLL in System32' {
        $run.ExitCode | Should -Be 0
        Get-RunLabels $run.Log | Should -Be (@('DISM-NetFx3', 'DISM-DirectPlay') + (Get-VisualCppLabels 'x86') + @('DirectX-Extract', 'DXSETUP'))
        foreach ($package in $script:VisualCppPackages | Where-Object { $_.Architecture -ne 'x86' }) {
            $machine.Transfers | Should -Not -Contain $package.Url
        }
        Test-Path (Join-Path $machine.SystemRoot 'System32/d3dx9_43.dll') | Should -BeTrue
    }

    It 'reports a 32-bit Windows with one DLL group' {
        $run.Report | Should -Contain 'Architecture : 32-bit'
        $dlls = @(Get-ReportBlock $run.Report '[DIRECTX / COMMON DLL FILES]')
        $dlls.Count | Should -Be 12
        $dlls[0] | Should -BeExactly ('-- ' + (Join-Path $machine.SystemRoot 'System32'))
        @($dlls | Where-Object { $_ -like '-- *' }).Count | Should -Be 1
    }
}

Describe 'Windows 11 x64, offline, no cache' {
    BeforeAll {
        $machine = New-ScenarioMachine -Online $false
        # Without Windows Update, DISM cannot fetch the .NET Framework 3.5 payload (0x800F0954).
        Set-FakeProgram $machine -Name 'dism.exe' -ArgumentsLike '*FeatureName:NetFx3*' -ExitCode -2146498220 -NoEffect
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine
    }
    AfterAll { Reset-FakeWindows }

    It 'records exactly the problems a player without a connection has, and ends with exit code 1' {
        $run.ExitCode | Should -Be 1
        $offline = { param($label, $hostName) "Unable to securely download ${label}: no network connection, or the server name could not be resolved (The remote name could not be resolved: '$hostName')" }
        $packages = Get-VisualCppRows 'x86', 'x64'
        $run.Failures | Should -Be @(
            ('.NET Framework 3.5: DISM-NetFx3 failed with exit code -2146498220. ' + (Get-DismErrorText -ExitCode -2146498220))
            foreach ($package in $packages | Where-Object { $_.Critical }) { '{0}: {1}' -f $package.Name, (& $offline $package.Name ([uri]$package.Url).Host) }
            ('DirectX legacy runtime: ' + (& $offline 'DirectX End-User Runtimes (June 2010)' 'download.microsoft.com'))
        )
        $run.Warnings | Should -Be @(
            foreach ($package in $packages | Where-Object { -not $_.Critical }) {
                # The last address tried is the second one where the package has one.
                $lastUrl = @($package.Url, $package.FallbackUrl | Where-Object { $_ })[-1]
                'Legacy runtime {0} was skipped or failed: {1}' -f $package.Name, (& $offline $package.Name ([uri]$lastUrl).Host)
            }
        )
    }

    It 'tries every download three times, BITS then the web client, with pauses of 2 and 4 seconds' {
        # The 2013 package has a second address, tried as often as the first.
        $addresses = $MicrosoftUrls.Count + 1
        $machine.Transfers.Count | Should -Be ($addresses * 3 * 2)
        @($machine.Transfers | Select-Object -First 6) | Should -Be @(@($script:MicrosoftUrls[0]) * 6)
        @($machine.Pauses) | Should -Be @(@(2, 4) * $addresses)
    }

    It 'leaves no installer in the work folder, and still enables DirectPlay' {
        @(Get-ChildItem -LiteralPath $script:WorkDir -Filter '*.exe' -File) | Should -BeNullOrEmpty
        $machine.Features['DirectPlay'] | Should -Be 'Enabled'
    }

    It 'lists every failure and warning in the report and shows the attention form' {
        $result = @(Get-ReportBlock $run.Report '[SETUP RESULT]')
        $result | Should -Be @(@($run.Failures | ForEach-Object { "FAIL: $_" }) + @($run.Warnings | ForEach-Object { "WARN: $_" }) + @("Setup log: $script:LogPath"))
        $run.Console | Where-Object { $_.Text -eq '  COMPLETED WITH ITEMS THAT NEED ATTENTION' -and $_.Colour -eq 'Yellow' } | Should -Not -BeNullOrEmpty
        $machine.MessageBoxes[0].Text | Should -BeExactly $script:AttentionText
        $machine.MessageBoxes[0].Icon | Should -Be 'Warning'
    }
}

Describe 'Diagnostics only, with a game folder' {
    BeforeAll {
        $machine = New-ScenarioMachine
        $game = Join-Path $machine.Root 'Games/Cindral Online'
        $null = New-FakeFile (Join-Path $game 'Cindral.exe')
        $null = New-FakeFile (Join-Path $game 'engine.dll')
        $null = New-FakeFile (Join-Path $game 'readme.txt')
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine -DiagnosticsOnly -GamePath $game
    }
    AfterAll { Reset-FakeWindows }

    It 'shows only step 1 of 1, installs nothing and ends with exit code 0' {
        $run.ExitCode | Should -Be 0
        @($run.Console | Where-Object { $_.Colour -eq 'Cyan' -and $_.Text -like '`[*/*`]*' }).Text | Should -Be @('[1/1] Creating diagnostic report')
        Get-RunLabels $run.Log | Should -BeNullOrEmpty
        $machine.Transfers | Should -BeNullOrEmpty
    }

    It 'describes the game files in the report' {
        $files = @(Get-ReportBlock $run.Report '[GAME FILES]')
        $files[0] | Should -BeExactly "Target: $game"
        @($files | Select-Object -Skip 1 | ForEach-Object { ($_ -split ' \| ')[0] } | Sort-Object) | Should -Be @('Cindral.exe', 'engine.dll')
        $run.Report | Should -Contain 'Pending reboot: False'
        Get-ReportBlock $run.Report '[SETUP RESULT]' | Should -Be @('Critical failures: none', 'Warnings: none', "Setup log: $script:LogPath")
    }

    It 'shows the success form with the play hint' {
        $run.Console.Text | Should -Contain 'You can try opening the Cindral Online launcher now.'
        $machine.MessageBoxes[0].Text | Should -BeExactly $script:SuccessText
        $machine.MessageBoxes[0].Icon | Should -Be 'Information'
    }
}

Describe 'Windows 11 x64, the game crashed in msvcp140.dll, the x86 v14 runtime fails to install' {
    BeforeAll {
        $machine = New-ScenarioMachine
        Set-FakeProgram $machine -Name 'vc14-latest-x86.exe' -ExitCode 1603
        # Windows wrote the messages in the player's language; the names are in the event data.
        foreach ($crash in @(@(20, 'msvcp140.dll'), @(75, 'msvcp140.dll'), @(300, 'd3dx9_43.dll'))) {
            Add-FakeEvent $machine -TimeCreated $machine.Clock.AddMinutes(-$crash[0]) -ProviderName 'Application Error' -Id 1000 `
                -Message 'ชื่อแอปพลิเคชันที่ผิดพลาด CindralOnline.exe' -Properties (Get-FakeCrashData -Application 'CindralOnline.exe' -Module $crash[1])
        }
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine
    }
    AfterAll { Reset-FakeWindows }

    It 'joins each crash to what this run did about its runtime, right before the setup result' {
        $run.ExitCode | Should -Be 1
        $run.Failures | Should -Be @('Visual C++ v14 latest x86: vc14-latest-x86 failed with exit code 1603.')
        Get-ReportBlock $run.Report '[LIKELY CAUSES]' | Should -Be @(
            'CindralOnline.exe crashed 2 time(s) in msvcp140.dll: Visual C++ v14 — failed in this run'
            'CindralOnline.exe crashed 1 time(s) in d3dx9_43.dll: DirectX June 2010 — was installed or repaired in this run')
        $result = [array]::IndexOf($run.Report, '[SETUP RESULT]')
        $run.Report[$result - 4] | Should -BeExactly '[LIKELY CAUSES]'
    }
}

Describe 'Windows 10 x64, DISM and the x86 v14 installer hang' {
    BeforeAll {
        $machine = New-ScenarioMachine -Windows @{ Build = 19045 }
        Set-FakeProgram $machine -Name 'dism.exe' -ArgumentsLike '*FeatureName:NetFx3*' -NeverEnds
        Set-FakeProgram $machine -Name 'vc14-latest-x86.exe' -NeverEnds
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine
    }
    AfterAll { Reset-FakeWindows }

    It 'ends each at its limit, names the failure, ends its process tree and goes on with the next program' {
        $run.ExitCode | Should -Be 1
        $run.Failures | Should -Be @(
            '.NET Framework 3.5: DISM-NetFx3 did not finish within 60 minutes.'
            'Visual C++ v14 latest x86: vc14-latest-x86 did not finish within 30 minutes.')
        @($script:RunRecord | Where-Object { $_.Outcome -eq 'Failed' } | ForEach-Object { $_.Kind }) | Should -Be @('TimeLimit', 'TimeLimit')
        $machine.StoppedTrees.Count | Should -Be 2
        Get-RunLabels $run.Log | Should -Be $Labels64
    }

    It 'says each minute after the first that it is still waiting, on the console and in the log' {
        foreach ($case in @(@('DISM-NetFx3', 60), @('vc14-latest-x86', 30))) {
            $expected = @(1..($case[1] - 1) | ForEach-Object { 'Still waiting for {0} ({1} min)' -f $case[0], $_ })
            @($run.Log -like ('`[INFO`] Still waiting for {0} *' -f $case[0]) | ForEach-Object { $_ -replace '^\[INFO\] ', '' }) | Should -Be $expected
            @($run.Console.Text -like ('Still waiting for {0} *' -f $case[0])) | Should -Be $expected
        }
    }
}

Describe 'Windows 11 x64, online, the 2013 short link serves an empty file' {
    BeforeAll {
        $machine = New-ScenarioMachine
        $row = @($script:VisualCppPackages | Where-Object { $_.Name -eq 'Visual C++ 2013 x86' })[0]
        Set-FakeServedFile $machine -Url $row.Url -Answer Empty
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine
    }
    AfterAll { Reset-FakeWindows }

    It 'fetches the package from its second Microsoft address after three empty files and installs it' {
        $run.ExitCode | Should -Be 0
        $run.Warnings | Should -BeNullOrEmpty
        @($machine.Transfers | Where-Object { $_ -eq $row.Url -or $_ -eq $row.FallbackUrl }) | Should -Be @($row.Url, $row.Url, $row.Url, $row.FallbackUrl)
        $run.Log | Should -Contain ('[INFO] Trying the second Microsoft address for Visual C++ 2013 x86: ' + $row.FallbackUrl)
        Get-RunLabels $run.Log | Should -Contain 'vc2013-x86'
    }
}

Describe 'Windows 11 x64, online, Microsoft serves a DirectX build nobody published' {
    BeforeAll {
        $machine = New-ScenarioMachine
        Set-FakeServedFile $machine -Url $script:DirectXUrl -Answer UnknownBuild
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine
    }
    AfterAll { Reset-FakeWindows }

    It 'uses it with one WARN line and marks it in the report; known builds and moving links pass silently' {
        $run.ExitCode | Should -Be 0
        $run.Warnings | Should -BeNullOrEmpty
        $warned = @($run.Log -like '`[WARN`]*')
        $warned.Count | Should -Be 1
        $warned[0] | Should -Match '^\[WARN\] DirectX End-User Runtimes \(June 2010\) is signed by Microsoft but is not a known build \(SHA-256 ([0-9A-F]{64})\); it is used anyway\.$'
        $hash = ([regex]::Match($warned[0], '[0-9A-F]{64}')).Value
        Get-ReportBlock $run.Report '[SETUP RESULT]' | Should -Contain "DirectX End-User Runtimes (June 2010) (unknown build): SHA-256 $hash"
        Get-RunLabels $run.Log | Should -Contain 'DXSETUP'
    }
}

Describe 'Windows 11 x64, installers cached 40 days ago' {
    BeforeAll {
        $machine = New-ScenarioMachine
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $null = Invoke-Scenario $machine
        $v14 = @($script:VisualCppPackages | Where-Object { $_.Name -eq 'Visual C++ v14 latest x64' })[0]
        $fixed = @($script:VisualCppPackages | Where-Object { $_.Name -eq 'Visual C++ 2010 SP1 x86' })[0]
        # Both cached copies were written 40 days before the machine's clock.
        function Set-CachedAge {
            foreach ($row in $v14, $fixed) {
                [System.IO.File]::SetLastWriteTimeUtc((Join-Path $script:WorkDir $row.File), $machine.WatchTime.AddDays(-40))
            }
            $machine.Transfers.Clear()
        }
        Set-CachedAge
        $online = Invoke-Scenario $machine
        $onlineTransfers = @($machine.Transfers)
        Set-CachedAge
        $machine.Online = $false
        $offline = Invoke-Scenario $machine
    }
    AfterAll { Reset-FakeWindows }

    It 'fetches the moving v14 link again when online and keeps the fixed-version file' {
        $online.ExitCode | Should -Be 0
        @($onlineTransfers -eq $v14.Url).Count | Should -Be 1
        $onlineTransfers | Should -Not -Contain $fixed.Url
        $online.Log | Should -Contain '[INFO] The cached file for Visual C++ v14 latest x64 is older than 30 days; downloading a newer copy.'
        $online.Log | Should -Contain '[OK] Using verified cached file for Visual C++ 2010 SP1 x86.'
    }

    It 'uses the cached v14 copy offline and says so' {
        $offline.ExitCode | Should -Be 0
        $offline.Failures | Should -BeNullOrEmpty
        $offline.Log | Should -Contain ("[WARN] Using the cached file for Visual C++ v14 latest x64: a newer copy could not be downloaded (Unable to securely download Visual C++ v14 latest x64: no network connection, or the server name could not be resolved (The remote name could not be resolved: 'aka.ms')).")
        Get-RunLabels $offline.Log | Should -Contain 'vc14-latest-x64'
    }
}

Describe 'Windows 11 x64, DXSETUP fails and the x64 v14 package ends with 1638 without registering' {
    BeforeAll {
        $machine = New-ScenarioMachine
        Set-FakeProgram $machine -Name 'DXSETUP.exe' -ExitCode -9 -NoEffect
        Set-FakeProgram $machine -Name 'vc14-latest-x64.exe' -ExitCode 1638 -NoEffect
        $dxError = New-FakeFile (Join-Path $machine.SystemRoot 'DXError.log') -Content ((1..30 | ForEach-Object { "DXError line $_" }) -join "`r`n")
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine
    }
    AfterAll { Reset-FakeWindows }

    It 'names the installers'' own logs in the failures and confirms the v14 runtimes through their keys' {
        $run.Failures | Should -Be @(
            'Visual C++ v14 latest x64: vc14-latest-x64 ended with exit code 1638, but the v14 x64 runtime is not registered.'
            "DirectX legacy runtime: DXSETUP failed with exit code -9. Installer log: $dxError")
        $run.Log | Should -Contain '[OK] Visual C++ v14 x86 runtime confirmed (version v14.44.35211.00).'
        # The package writes its own log under a name of this run in the work folder.
        $running = @($run.Log -like '*Running vc14-latest-x64:*')
        $running.Count | Should -Be 1
        $prefix = '[INFO] Running vc14-latest-x64: {0} /install /quiet /norestart /log "' -f ($machine.Started | Where-Object { $_ -like '*vc14-latest-x64.exe' })
        $running[0].StartsWith($prefix, [StringComparison]::Ordinal) | Should -BeTrue
        $running[0].Substring($prefix.Length) | Should -Match ('^' + [regex]::Escape((Join-Path $script:WorkDir 'vc14-latest-x64-install-')) + '[0-9a-f]{16}\.log"$')
        Get-ReportBlock $run.Report '[SETUP RESULT]' | Should -Contain "FAIL: DirectX legacy runtime: DXSETUP failed with exit code -9. Installer log: $dxError"
    }

    It 'copies the last 20 lines of DXError.log into the run''s log' {
        $start = [array]::IndexOf($run.Log, "[INFO] Last lines of ${dxError}:")
        $start | Should -BeGreaterThan 0
        $run.Log[($start + 1)..($start + 20)] | Should -Be @(11..30 | ForEach-Object { "DXError line $_" })
    }
}

Describe 'Windows 11 x64, Windows Installer busy with another installation' {
    BeforeAll {
        $machine = New-ScenarioMachine
        Set-FakeInstallerBusy $machine -Minutes 2.5
        Set-FakeProgram $machine -Name 'vc2013-x86.exe' -ExitCode 1618 -NoEffect -Times 1
        Set-FakeProgram $machine -Name 'vc14-latest-x64.exe' -ExitCode 1618 -NoEffect
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine
    }
    AfterAll { Reset-FakeWindows }

    It 'waits for its turn before the first Windows Installer package, with a line each minute' {
        $first = [array]::IndexOf($run.Log, ($run.Log -like '`[INFO`] Running vc2005sp1-x86:*')[0])
        $run.Log[($first - 2)..($first - 1)] | Should -Be @(
            '[INFO] Waiting for another installation to finish (1 min)'
            '[INFO] Waiting for another installation to finish (2 min)')
        @($run.Log -like '*Waiting for another installation*').Count | Should -Be 2
        @($run.Log -like '`[INFO`] Running DISM-*').Count | Should -Be 2
    }

    It 'runs a package that found Windows Installer busy once more, and records one that stays busy as busy' {
        $labels = @(Get-RunLabels $run.Log)
        @($labels -eq 'vc2013-x86').Count | Should -Be 2
        @($labels -eq 'vc14-latest-x64').Count | Should -Be 2
        $run.Warnings | Should -BeNullOrEmpty
        $run.Failures | Should -Be @('Visual C++ v14 latest x64: vc14-latest-x64 could not run: Windows Installer is busy with another installation (exit code 1618).')
        $failed = @($script:RunRecord | Where-Object { $_.Outcome -eq 'Failed' })
        '{0} {1}' -f $failed[0].Kind, $failed[0].ExitCode | Should -Be 'InstallerBusy 1618'
    }
}

Describe 'Diagnostics only, an x64 d3dx9_43.dll beside the x86 game' {
    BeforeAll {
        $machine = New-ScenarioMachine
        $game = Join-Path $machine.Root 'Games/Cindral Online'
        $null = New-FakePeFile (Join-Path $game 'CindralOnline.exe') -Machine x86 -Size 8192
        $null = New-FakePeFile (Join-Path $game 'CrashSender.exe') -Machine x64
        $null = New-FakePeFile (Join-Path $game 'd3dx9_43.dll') -Machine x64
        Add-FakeEvent $machine -TimeCreated $machine.Clock.AddMinutes(-3) -ProviderName 'Application Error' -Id 1000 `
            -Message 'Faulting application name: CindralOnline.exe' -Properties (Get-FakeCrashData -Application 'CindralOnline.exe' -Module 'd3dx9_43.dll' -ModuleFolder $game)
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine -DiagnosticsOnly -GamePath $game
    }
    AfterAll { Reset-FakeWindows }

    It 'flags the DLL whose machine type differs from the game''s and installs nothing' {
        $run.ExitCode | Should -Be 0
        Get-RunLabels $run.Log | Should -BeNullOrEmpty
        Get-ReportBlock $run.Report '[LIKELY CAUSES]' | Should -Be @(
            'CindralOnline.exe crashed 1 time(s) in d3dx9_43.dll: DirectX June 2010 — was not checked (diagnostics only)'
            'd3dx9_43.dll in the game folder is x64 but CindralOnline.exe is x86')
    }
}

Describe 'Windows 8.1 (build 9600)' {
    BeforeAll {
        $machine = New-ScenarioMachine -Windows @{ Build = 9600; Caption = 'Microsoft Windows 8.1 Pro'; DisplayVersion = $null }
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine
    }
    AfterAll { Reset-FakeWindows }

    It 'refuses to install, still writes the report and ends with exit code 1' {
        $run.ExitCode | Should -Be 1
        $run.Log | Should -Contain '[ERROR] Fatal error: Windows 10 or Windows 11 is required.'
        Get-RunLabels $run.Log | Should -BeNullOrEmpty
        $run.Reports.Count | Should -Be 1
        Get-ReportBlock $run.Report '[SETUP RESULT]' | Should -Be @('FAIL: Fatal error: Windows 10 or Windows 11 is required.', 'Warnings: none', "Setup log: $script:LogPath")
        $machine.MessageBoxes[0].Text | Should -BeExactly $script:AttentionText
    }
}

Describe 'Not administrator, started by hand with a game folder' {
    BeforeAll {
        $machine = New-ScenarioMachine -Windows @{ IsAdministrator = $false }
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine -DiagnosticsOnly -GamePath 'C:\Games\Cindral Online\'
    }
    AfterAll { Reset-FakeWindows }

    It 'hands over to an elevated copy and ends with exit code 0, writing nothing' {
        $run.ExitCode | Should -Be 0
        $machine.Elevations | Should -Be @(
            ('{0}\System32\WindowsPowerShell\v1.0\powershell.exe -NoLogo -NoProfile -ExecutionPolicy Bypass -File "{1}" -DiagnosticsOnly -GamePath "C:\Games\Cindral Online\\"' -f $machine.SystemRoot, $SetupScriptPath))
        $run.Reports | Should -BeNullOrEmpty
        $machine.MessageBoxes | Should -BeNullOrEmpty
        Test-Path (Join-Path $machine.ProgramData 'ORVELLE') | Should -BeFalse
    }
}

Describe 'A report that cannot be written' {
    BeforeAll {
        $machine = New-ScenarioMachine
        # Something already occupies the report's name on the desktop.
        $null = New-Item -ItemType Directory -Path (Join-Path $machine.Desktop 'ORVELLE-Diagnostic-20261208-183005.txt')
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine -DiagnosticsOnly
    }
    AfterAll { Reset-FakeWindows }

    It 'ends with exit code 1 without a report or a completion message' {
        $run.ExitCode | Should -Be 1
        $run.Failures.Count | Should -Be 1
        $run.Failures[0] | Should -BeLike 'Fatal error: *'
        $run.Reports | Should -BeNullOrEmpty
        $machine.MessageBoxes | Should -BeNullOrEmpty
        $run.Console.Text | Should -Not -Contain '  COMPLETED WITH ITEMS THAT NEED ATTENTION'
    }
}

Describe 'Windows 11 x64, online, ProgramData prepared by another standard user before the first run' {
    BeforeAll {
        $machine = New-ScenarioMachine
        $vendor = Join-Path $machine.ProgramData 'ORVELLE'
        $downloads = Join-Path $vendor 'Game Support/Downloads'
        # The other user's tree: their own folders, opened to everyone, with a Microsoft-signed
        # program under the cached x64 runtime's name, its config, a DLL installers look for
        # beside themselves and a hard link to a file of the player's.
        Set-FakeFolderSecurity $machine -Path $vendor -Access (@(Get-FakeProgramDataAccess) + @([pscustomobject]@{ Sid = 'S-1-1-0'; Rights = 0x1F01FF; Allow = $true }))
        Set-FakeFolderSecurity $machine -Path $downloads
        $planted = @('vc14-latest-x64.exe', 'vc14-latest-x64.exe.config', 'version.dll')
        foreach ($name in $planted) { $null = New-FakeFile (Join-Path $downloads $name) -Content "planted $name" }
        Set-FakeSignature $machine -Path (Join-Path $downloads 'vc14-latest-x64.exe')
        $outside = New-FakeFile (Join-Path $machine.Root 'Users/Player/Documents/Saves/slot1.sav') -Content 'precious'
        $null = New-Item -ItemType HardLink -Path (Join-Path $downloads 'notes.txt') -Target $outside
        $planted += 'notes.txt'

        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine
        $aside = "$vendor.untrusted-20261208-183005-$(Get-FakeRandomTail 1)"
    }
    AfterAll { Reset-FakeWindows }

    It 'sets the other user''s tree aside whole, says so in the log, and otherwise runs normally' {
        $run.ExitCode | Should -Be 0
        $run.Failures | Should -BeNullOrEmpty
        $run.Log | Should -Contain "[WARN] Set aside $vendor as $aside because it is owned by $FakePlayerSid; a new private folder takes its place."
        foreach ($name in $planted) {
            [System.IO.File]::ReadAllText((Join-Path $aside "Game Support/Downloads/$name")) | Should -Not -BeNullOrEmpty
        }
    }

    It 'downloads the x64 runtime fresh and never runs an installer from a folder holding the planted files' {
        $machine.Transfers | Should -Contain 'https://aka.ms/vc14/vc_redist.x64.exe'
        foreach ($name in $planted) { Get-ChildItem -LiteralPath $machine.ProgramData -Recurse -Force -Filter $name | Where-Object { $_.FullName -notlike "$aside*" } | Where-Object { $_.Name -ne 'vc14-latest-x64.exe' } | Should -BeNullOrEmpty }
        [System.IO.File]::ReadAllText((Join-Path $downloads 'vc14-latest-x64.exe')) | Should -BeExactly 'MZhttps://aka.ms/vc14/vc_redist.x64.exe'
        @($machine.Started).Count | Should -BeGreaterThan 0
        foreach ($program in $machine.Started) {
            $folder = Split-Path -Parent $program
            foreach ($name in $planted[1..3]) { Test-Path -LiteralPath (Join-Path $folder $name) | Should -BeFalse -Because "$program runs beside its folder's DLLs" }
        }
    }

    It 'changes the permissions of nothing it did not create, the player''s linked file included' {
        [System.IO.File]::ReadAllText($outside) | Should -BeExactly 'precious'
        $machine.FolderSecurity.ContainsKey($outside) | Should -BeFalse
        @($machine.FolderChanges | Where-Object { $_ -notlike 'create *' -and $_ -ne "set aside $vendor as $aside" }) | Should -BeNullOrEmpty
    }
}

Describe 'Windows 11 x64, online, a private tree that still holds files from before the run' {
    BeforeAll {
        $machine = New-ScenarioMachine
        $vendor = Join-Path $machine.ProgramData 'ORVELLE'
        $downloads = Join-Path $vendor 'Game Support/Downloads'
        # An administrator took the tree over by hand after another user had filled it: a DLL
        # installers load from their own folder, its config, and a Microsoft-signed cache.
        foreach ($folder in @($vendor, (Join-Path $vendor 'Game Support'), $downloads)) { Set-FakePrivateFolder $machine -Path $folder }
        $planted = @('version.dll', 'vc14-latest-x64.exe.config')
        foreach ($name in $planted) { $null = New-FakeFile (Join-Path $downloads $name) -Content "planted $name" }
        Set-FakeSignature $machine -Path (New-FakeFile (Join-Path $downloads 'vc14-latest-x64.exe'))
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine
    }
    AfterAll { Reset-FakeWindows }

    It 'starts every installer from a folder of this run that holds nothing but the verified file, then removes it' {
        $run.ExitCode | Should -Be 0
        $run.Warnings | Should -BeNullOrEmpty
        $installers = @(0..($machine.Started.Count - 1) | Where-Object { (Split-Path -Leaf $machine.Started[$_]) -notin 'dism.exe', 'DXSETUP.exe' })
        $installers.Count | Should -Be 8
        foreach ($index in $installers) {
            $program = $machine.Started[$index]
            Split-Path -Parent $program | Should -Match ('^' + [regex]::Escape((Join-Path $downloads 'Install')) + '\.[0-9a-f]{16}$')
            @($machine.StartedBeside[$index]) | Should -Be @(Split-Path -Leaf $program) -Because "$program must start alone"
        }
        $dxsetup = [array]::IndexOf(@($machine.Started | ForEach-Object { Split-Path -Leaf $_ }), 'DXSETUP.exe')
        @($machine.StartedBeside[$dxsetup] | Sort-Object) | Should -Be @('DXSETUP.exe', 'dsetup.dll' | Sort-Object)
        @(Get-ChildItem -LiteralPath $downloads -Directory) | Should -BeNullOrEmpty
        foreach ($name in $planted) { Test-Path -LiteralPath (Join-Path $downloads $name) | Should -BeTrue }
    }
}

Describe 'Windows 11 x64, online, a file named ORVELLE in ProgramData and every old-style set-aside name taken' {
    BeforeAll {
        $machine = New-ScenarioMachine
        $vendor = Join-Path $machine.ProgramData 'ORVELLE'
        $null = New-FakeFile $vendor -Content 'not a folder'
        # The names a watcher could take before: the time alone, and with a process id and
        # the counters 1 to 15.
        $taken = @("$vendor.untrusted-20261208-183005") + @(1..15 | ForEach-Object { "$vendor.untrusted-20261208-183005-4242-$_" })
        foreach ($name in $taken) { $null = New-Item -ItemType Directory -Path $name }
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine
        $aside = "$vendor.untrusted-20261208-183005-$(Get-FakeRandomTail 1)"
    }
    AfterAll { Reset-FakeWindows }

    It 'sets the file aside under a name nobody could take, uses the usual folders and succeeds' {
        $run.ExitCode | Should -Be 0
        $run.Failures | Should -BeNullOrEmpty
        $run.Warnings | Should -BeNullOrEmpty
        $run.Log | Should -Contain "[WARN] Set aside $vendor as $aside because a file of that name is in the way; a new private folder takes its place."
        [System.IO.File]::ReadAllText($aside) | Should -BeExactly 'not a folder'
        $script:WorkDir | Should -Be (Join-Path $vendor 'Game Support/Downloads')
        foreach ($name in $taken) { @(Get-ChildItem -LiteralPath $name -Force) | Should -BeNullOrEmpty }
    }
}

Describe 'Windows 11 x64, online, another user''s process holding ORVELLE open' {
    BeforeAll {
        $machine = New-ScenarioMachine
        $vendor = Join-Path $machine.ProgramData 'ORVELLE'
        # A Command Prompt of the other user left open inside the folder they made.
        Set-FakeFolderSecurity $machine -Path $vendor -RefuseMove 'The process cannot access the file because it is being used by another process.'
        $null = New-FakeFile (Join-Path $vendor 'Game Support/Downloads/version.dll')
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine
        # The first random name went to the refused set-aside.
        $fallback = "$vendor.$(Get-FakeRandomTail 2)"
        $warning = "The folder $vendor could not be secured (The process cannot access the file because it is being used by another process.); this run used $fallback instead."
    }
    AfterAll { Reset-FakeWindows }

    It 'runs in a fresh private folder beside it, says so in the log and the report, and succeeds' {
        $run.ExitCode | Should -Be 0
        $run.Failures | Should -BeNullOrEmpty
        $run.Warnings | Should -Be @($warning)
        $run.Log | Should -Contain "[WARN] $warning"
        $script:WorkDir | Should -Be (Join-Path $fallback 'Game Support/Downloads')
        $script:LogPath | Should -BeLike (Join-Path $fallback 'Game Support/Logs/*')
        Get-ReportBlock $run.Report '[SETUP RESULT]' | Should -Be @('Critical failures: none', "WARN: $warning", ('Setup log: ' + $script:LogPath))
        @(Get-ChildItem -LiteralPath $vendor -Recurse -Force -File -Name) | Should -Be @(Join-Path 'Game Support/Downloads' 'version.dll')
    }
}

Describe 'The module path of an elevated run' {
    BeforeAll {
        $machine = New-FakeWindows
        Use-FakeWindows $machine
    }
    AfterAll { Reset-FakeWindows }

    It 'takes the module folders from the system, not from variables the starting account can set' {
        $env:SystemRoot = Join-Path $machine.Root 'Users/Player/Windows'
        $env:ProgramFiles = Join-Path $machine.Root 'Users/Player/Program Files'
        Set-SystemModulePath
        $env:PSModulePath -split [regex]::Escape([string][System.IO.Path]::PathSeparator) | Should -Be @(
            [System.IO.Path]::Combine($PSHOME, 'Modules'),
            [System.IO.Path]::Combine($machine.SystemRoot, 'System32\WindowsPowerShell\v1.0\Modules'),
            [System.IO.Path]::Combine($machine.ProgramFiles, 'WindowsPowerShell\Modules'))
    }

    It 'is pinned first when the file runs: only settings and its helpers come before, and they run no cmdlet' {
        $ast = [System.Management.Automation.Language.Parser]::ParseFile($SetupScriptPath, [ref]$null, [ref]$null)
        $statements = @($ast.EndBlock.Statements)
        $pin = @(0..($statements.Count - 1) | Where-Object { $statements[$_].Extent.Text -match '^if \(\$MyInvocation\.InvocationName -ne ''\.''\) \{\s+Set-SystemModulePath\s+\}$' })
        $pin.Count | Should -Be 1
        $settings = @('Set-StrictMode -Version 2.0', '$ErrorActionPreference = ''Stop''', '$ProgressPreference = ''SilentlyContinue''')
        $helpers = @{}
        foreach ($statement in $statements[0..($pin[0] - 1)]) {
            if ($statement -is [System.Management.Automation.Language.FunctionDefinitionAst]) { $helpers[$statement.Name] = $statement; continue }
            $settings | Should -Contain $statement.Extent.Text
        }
        # A cmdlet would load its module from the path not yet pinned.
        $helpers.ContainsKey('Set-SystemModulePath') | Should -BeTrue
        foreach ($helper in $helpers.Values) {
            foreach ($command in $helper.FindAll({ param($node) $node -is [System.Management.Automation.Language.CommandAst] }, $true)) {
                $helpers.Keys | Should -Contain $command.GetCommandName()
            }
        }
    }
}

Describe 'Windows 11 x64 that needs a restart afterwards, deployed by a management tool, then run by a player' {
    BeforeAll {
        $machine = New-ScenarioMachine
        Set-FakeProgram $machine -Name 'vc14-latest-x64.exe' -ExitCode 3010
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        Mock Clear-Host { $script:consoleClears++ }
        $script:consoleClears = 0
        $unattended = Invoke-Scenario $machine -Unattended
        $unattendedClears = $script:consoleClears
        $unattendedBoxes = $machine.MessageBoxes.Count
        $machine.MessageBoxes.Clear()
        $script:consoleClears = 0
        $interactive = Invoke-Scenario $machine
    }
    AfterAll { Reset-FakeWindows }

    It 'unattended: ends with 3010, never clears the console, shows no box and leaves the report under ProgramData' {
        $unattended.ExitCode | Should -Be 3010
        $unattended.Failures | Should -BeNullOrEmpty
        $unattendedClears | Should -Be 0
        $unattendedBoxes | Should -Be 0
        $unattended.AdminReports.Count | Should -Be 1
        $unattended.Log | Should -Contain ('[OK] Diagnostic report created: ' + $unattended.AdminReports[0].FullName)
    }

    It 'by hand on the same PC: ends with 0, clears the console, shows the box and writes the report to the desktop' {
        $interactive.ExitCode | Should -Be 0
        $script:consoleClears | Should -Be 1
        $machine.MessageBoxes.Count | Should -Be 1
        $machine.MessageBoxes[0].Text | Should -BeExactly ($script:SuccessText + "`r`n" + $script:RestartText)
        $interactive.Reports.Count | Should -Be 1
        $interactive.AdminReports.Count | Should -Be 1
    }
}

Describe 'Windows 11 x64 with an old v14 runtime, the x64 package ends with 0 without installing' {
    BeforeAll {
        # An earlier runtime (14.16) registered its key long ago; the package just run is
        # 14.44 and ends with 0, but writes nothing.
        $machine = New-ScenarioMachine
        Set-FakeRegistryValue $machine -Key 'HKLM:\SOFTWARE\Microsoft\VisualStudio\14.0\VC\Runtimes\x64' -Name 'Installed' -Value 1
        Set-FakeRegistryValue $machine -Key 'HKLM:\SOFTWARE\Microsoft\VisualStudio\14.0\VC\Runtimes\x64' -Name 'Version' -Value 'v14.16.27033.00'
        Set-FakeProgram $machine -Name 'vc14-latest-x64.exe' -ExitCode 0 -NoEffect
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine
    }
    AfterAll { Reset-FakeWindows }

    It 'does not take the old key for this package: a failure that names both versions' {
        $run.ExitCode | Should -Be 1
        $run.Failures | Should -Be @('Visual C++ v14 latest x64: vc14-latest-x64 ended with exit code 0, but the v14 x64 runtime is not confirmed: Windows registers version v14.16.27033.00 and the package is version 14.44.35211.0.')
        @($run.Log -like '*v14 x64 runtime confirmed*') | Should -BeNullOrEmpty
        $run.Log | Should -Contain '[OK] Visual C++ v14 x86 runtime confirmed (version v14.44.35211.00).'
    }
}

Describe 'A café fills a package folder with /layout once; a Windows 11 x64 PC without internet sets up from it' {
    BeforeAll {
        # The café's PC, online, fills ORVELLE-Game-Support-Packages beside the setup
        # executable on a USB stick. The administrator adds the .NET Framework 3.5 source
        # files of this build.
        $machine = New-ScenarioMachine
        $stick = Join-Path $machine.Root 'USB'
        $packages = Join-Path $stick 'ORVELLE-Game-Support-Packages'
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $layout = Invoke-Scenario $machine -Layout $packages
        $null = New-Item -ItemType Directory -Path (Join-Path $packages 'NetFx3/22631') -Force
        $layoutTransfers = @($machine.Transfers)

        # Then a PC of the café without internet and without a cache (the same simulated PC
        # taken offline, its ProgramData emptied) runs the executable from the stick.
        $machine.Online = $false
        $machine.Transfers.Clear()
        $machine.MessageBoxes.Clear()
        Remove-Item -LiteralPath (Join-Path $machine.ProgramData 'ORVELLE') -Recurse -Force
        $run = Invoke-Scenario $machine -LauncherFolder $stick
    }
    AfterAll { Reset-FakeWindows }

    It '/layout fetches every package of every supported Windows, writes SHA256SUMS last and installs nothing' {
        $files = @((Get-VisualCppRows 'x86', 'x64' | ForEach-Object { $_.File }) + 'directx_Jun2010_redist.exe' + 'DotNet35Setup-Windows11-26H1.exe')
        $layout.ExitCode | Should -Be 0
        @(Get-ChildItem -LiteralPath $packages -File | ForEach-Object { $_.Name } | Sort-Object) | Should -Be @(($files + 'SHA256SUMS') | Sort-Object)
        $layoutTransfers.Count | Should -Be $files.Count
        $sums = @([System.IO.File]::ReadAllText((Join-Path $packages 'SHA256SUMS')).TrimEnd("`n").Split("`n"))
        $sums | Should -Be @($files | Sort-Object | ForEach-Object { '{0}  {1}' -f (Get-FileSha256 -Path (Join-Path $packages $_)).ToLowerInvariant(), $_ })
        @($layout.Log -like '`[OK`] Package ready: *') | Should -HaveCount $files.Count
        $layout.Log | Should -Contain ("[OK] {0} of {0} packages are in $packages." -f $files.Count)
        $layout.Reports | Should -BeNullOrEmpty
        @($layout.Log -like '*Running *') | Should -BeNullOrEmpty
    }

    It 'the offline PC attempts no download, takes every installer from the stick and does every step' {
        $run.ExitCode | Should -Be 0
        $run.Failures | Should -BeNullOrEmpty
        $run.Warnings | Should -BeNullOrEmpty
        $machine.Transfers | Should -BeNullOrEmpty
        foreach ($label in $script:MicrosoftUrls.Keys) {
            $run.Log | Should -Contain "[OK] Using $label from the package folder $packages."
        }
        (Get-RunLabels $run.Log) | Should -Be $script:Labels64
        $run.Log | Should -Contain ('[INFO] Running DISM-NetFx3: {0} /Online /Enable-Feature /FeatureName:NetFx3 /All /NoRestart /Source:"{1}" /LimitAccess' -f (Get-DismPath), (Join-Path $packages 'NetFx3/22631'))
        # Nothing ran where it lies: every installer started from a folder of this run.
        @($machine.Started | Where-Object { $_.StartsWith($stick) }) | Should -BeNullOrEmpty
    }

    It 'names the package folder in the report and where each installer came from' {
        Get-ReportBlock $run.Report '[INSTALLERS USED]' | Should -Be @(
            "Package folder: $packages"
            foreach ($label in $script:MicrosoftUrls.Keys) { "${label}: package folder" })
    }
}

Describe '/layout into a folder another user prepared' {
    BeforeEach {
        $machine = New-ScenarioMachine
        $packages = Join-Path $machine.Root 'Share/ORVELLE-Game-Support-Packages'
        $null = New-Item -ItemType Directory -Path $packages -Force
        $sums = Join-Path $packages 'SHA256SUMS'
    }
    AfterEach { Reset-FakeWindows }

    It 'writes SHA256SUMS as a file of its own where a link stood, leaving what the link named alone' {
        $victim = New-FakeFile (Join-Path $machine.Root 'Windows/System32/drivers/etc/hosts') -Content '127.0.0.1 localhost'
        New-TestLink -Path $sums -Target $victim
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $layout = Invoke-Scenario $machine -Layout $packages
        $layout.ExitCode | Should -Be 0
        [System.IO.File]::ReadAllText($victim) | Should -BeExactly '127.0.0.1 localhost'
        Test-TestLink -Path $sums | Should -BeFalse
        @([System.IO.File]::ReadAllText($sums).TrimEnd("`n").Split("`n")).Count | Should -Be $machine.Transfers.Count
    }

    It 'ends with 1 and says so when SHA256SUMS is held open by another program' {
        $null = New-FakeFile $sums -Content 'old sums'
        Set-FakeHeldFile $machine -Path $sums
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $layout = Invoke-Scenario $machine -Layout $packages
        $layout.ExitCode | Should -Be 1
        @($layout.Log -like "``[ERROR``] $sums could not be written: *") | Should -HaveCount 1
        @($layout.Log -like '`[OK`] Package ready: *').Count | Should -Be $machine.Transfers.Count
    }
}

Describe 'Windows 11 x64, online, a package folder holding a tampered file, another Microsoft program and an unknown build' {
    BeforeAll {
        $machine = New-ScenarioMachine
        $packages = Join-Path $machine.Root 'Share/ORVELLE-Game-Support-Packages'
        $tampered = New-FakeFile (Join-Path $packages 'vc2008sp1-x86.exe') -Content 'MZ changed after signing'
        Set-FakeSignature $machine -Path $tampered -Status 'HashMismatch'
        $other = New-FakeFile (Join-Path $packages 'vc14-latest-x64.exe') -Content 'MZ a browser'
        Set-FakeSignature $machine -Path $other
        $machine.VersionResources[$other] = [pscustomobject]@{ OriginalFilename = 'msedge.exe'; ProductName = 'Microsoft Edge'; FileVersion = [version]'131.0.2903.70' }
        $unknown = New-FakeFile (Join-Path $packages 'vc2013-x86.exe') -Content 'MZ rebuilt'
        Set-FakeSignature $machine -Path $unknown
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine -PackageSource $packages
    }
    AfterAll { Reset-FakeWindows }

    It 'names each refused file once with its reason, downloads it instead and succeeds' {
        $run.ExitCode | Should -Be 0
        @($run.Log -like '`[WARN`] Not using *') | Should -Be @(
            "[WARN] Not using $tampered from the package folder: Security check failed for vc2008sp1-x86.exe. Signature status: HashMismatch; publisher: CN=Microsoft Corporation, O=Microsoft Corporation, L=Redmond, S=Washington, C=US"
            "[WARN] Not using $unknown from the package folder: it is not a known build (SHA-256 $(Get-FileSha256 -Path $unknown))"
            "[WARN] Not using $other from the package folder: its original file name is ""msedge.exe"", not VC_redist.x64.exe")
        # The folder holds nothing else: every package is downloaded once, as without it.
        @($machine.Transfers) | Should -Be @($script:MicrosoftUrls.Values)
        $run.Failures | Should -BeNullOrEmpty
        Get-ReportBlock $run.Report '[INSTALLERS USED]' | Should -Be @(
            "Package folder: $packages"
            foreach ($label in $script:MicrosoftUrls.Keys) { "${label}: download" })
    }
}

Describe 'Runs where nobody can answer a box, and busy Windows Installer' {
    BeforeEach {
        $machine = New-ScenarioMachine
    }
    AfterEach { Reset-FakeWindows }

    It 'as SYSTEM without the switch: report under ProgramData, private to administrators, none on the desktop' {
        $machine.IsSystem = $true
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine
        $run.ExitCode | Should -Be 0
        $run.Reports | Should -BeNullOrEmpty
        $run.AdminReports.Count | Should -Be 1
        $protection = foreach ($folder in 'Reports', 'Logs') {
            $record = Get-FakeFolderSecurity $machine -Path (Join-Path $machine.ProgramData "ORVELLE/Game Support/$folder")
            '{0} {1} {2}' -f $record.Owner, $record.Protected, (@($record.Access | ForEach-Object { '{0} {1:x} {2} {3}' -f $_.Sid, $_.Rights, $_.Allow, $_.Flags }) -join ',')
        }
        # Nobody but SYSTEM and Administrators may open the reports; Users may read the logs.
        $protection[0] | Should -BeExactly 'S-1-5-32-544 True S-1-5-18 1f01ff True OICI,S-1-5-32-544 1f01ff True OICI'
        $protection[1] | Should -BeExactly 'S-1-5-32-544 True S-1-5-18 1f01ff True OICI,S-1-5-32-544 1f01ff True OICI,S-1-5-32-545 1200a9 True OICI'
        $run.Log | Should -Contain ('[OK] Diagnostic report created: ' + $run.AdminReports[0].FullName)
    }

    It 'in session 0 without the switch: no box, the run ends with its code and the report on the desktop' {
        $machine.SessionCanShowMessageBox = $false
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine
        $run.ExitCode | Should -Be 0
        $machine.MessageBoxes | Should -BeNullOrEmpty
        $run.Reports.Count | Should -Be 1
        $run.Console.Text | Should -Contain '  INSTALLATION / REPAIR COMPLETED'
    }

    It 'ends with 1618 only when every failure is Windows Installer being busy, and only unattended' -TestCases @(
        @{ Busy = @('vc14-latest-x64.exe'); Other = @(); Unattended = $true; Expected = 1618 }
        @{ Busy = @('vc14-latest-x64.exe', 'vc14-latest-x86.exe'); Other = @(); Unattended = $true; Expected = 1618 }
        @{ Busy = @('vc14-latest-x64.exe'); Other = @('vc14-latest-x86.exe'); Unattended = $true; Expected = 1 }
        @{ Busy = @('vc14-latest-x64.exe'); Other = @(); Unattended = $false; Expected = 1 }
        @{ Busy = @(); Other = @('vc14-latest-x86.exe'); Unattended = $true; Expected = 1 }
    ) {
        foreach ($name in $Busy) { Set-FakeProgram $machine -Name $name -ExitCode 1618 }
        foreach ($name in $Other) { Set-FakeProgram $machine -Name $name -ExitCode 1603 }
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine -Unattended:$Unattended
        $run.ExitCode | Should -Be $Expected
        $run.Failures.Count | Should -Be ($Busy.Count + $Other.Count)
    }

    It 'unattended without administrator rights: asks nobody to elevate and ends with 1' {
        $machine.IsAdministrator = $false
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        $run = Invoke-Scenario $machine -Unattended
        $run.ExitCode | Should -Be 1
        $machine.Elevations | Should -BeNullOrEmpty
        $machine.MessageBoxes | Should -BeNullOrEmpty
    }
}

Describe 'The detection rule that deployment tools run' {
    BeforeAll {
        $script:PresentLine = 'ORVELLE GAME SUPPORT {0}: every prerequisite is present.' -f $script:ToolVersion

        # What a full run leaves on the machine: both features on, every Visual C++ package of
        # this Windows registered, the DirectX DLL in the folder for 32-bit programs.
        function Set-EverythingPresent {
            param($Machine)
            $Machine.Features['NetFx3'] = 'Enabled'
            $Machine.Features['DirectPlay'] = 'Enabled'
            foreach ($package in @($script:VisualCppPackages | Where-Object { $_.Architecture -eq 'x86' -or $Machine.Is64Bit })) {
                Add-FakeVisualCppEntry $Machine $package
            }
            $folder = $(if ($Machine.Is64Bit) { 'SysWOW64' } else { 'System32' })
            $null = New-FakeFile (Join-Path $Machine.SystemRoot "$folder/d3dx9_43.dll")
        }

        # Runs the detection as the detection script does and returns its exit code and
        # console lines.
        function Invoke-Detection {
            $script:detectionExit = $null
            $console = @(Get-ConsoleLines { $script:detectionExit = Invoke-PrerequisiteDetection })
            return [pscustomobject]@{ ExitCode = $script:detectionExit; Lines = @($console | ForEach-Object { $_.Text }) }
        }
    }
    AfterEach { Reset-FakeWindows }

    It 'after a full setup run on a bare machine (<Architecture>): one line and exit code 0' -TestCases @(
        @{ Architecture = 'x64' }
        @{ Architecture = 'x86' }
    ) {
        $machine = New-ScenarioMachine -Windows @{ Architecture = $Architecture }
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        (Invoke-Detection).Lines | Should -BeNullOrEmpty
        (Invoke-Scenario $machine).ExitCode | Should -Be 0
        $detection = Invoke-Detection
        $detection.ExitCode | Should -Be 0
        $detection.Lines | Should -Be @($script:PresentLine)
    }

    It 'one prerequisite missing (<Missing>): prints nothing and still exits 0' -TestCases @(
        @{ Missing = 'NetFx3'; Take = { param($m) $m.Features['NetFx3'] = 'Disabled' } }
        @{ Missing = 'DirectPlay'; Take = { param($m) $m.Features['DirectPlay'] = $null } }
        @{ Missing = 'v14 x64'; Take = { param($m) foreach ($key in @($m.Registry.Keys)) { if ([string]$m.Registry[$key]['DisplayName'] -like '*2015-2022*(x64)*') { $m.Registry.Remove($key) } } } }
        @{ Missing = 'DirectX'; Take = { param($m) Remove-Item -LiteralPath (Join-Path $m.SystemRoot 'SysWOW64/d3dx9_43.dll') } }
    ) {
        $machine = New-ScenarioMachine
        Set-EverythingPresent $machine
        Use-FakeWindows $machine
        (Invoke-Detection).Lines | Should -Be @($script:PresentLine)
        & $Take $machine
        $detection = Invoke-Detection
        $detection.ExitCode | Should -Be 0
        $detection.Lines | Should -BeNullOrEmpty
    }

    It 'a fault planted in one of the setup''s own rules (<Rule>) changes the setup and the detection alike' -TestCases @(
        @{ Rule = 'Test-NetFx35Installed'; Plant = { Mock Test-NetFx35Installed { $false } } }
        @{ Rule = 'Get-DirectXLegacyDllPath'; Plant = { Mock Get-DirectXLegacyDllPath { Join-Path $script:FakeMachine.SystemRoot 'System32/d3dx9_43.dll' } } }
    ) {
        $machine = New-ScenarioMachine
        Use-FakeWindows $machine
        Use-FakeProgramsAndNetwork
        . $Plant
        (Invoke-Scenario $machine).ExitCode | Should -Be 1
        (Invoke-Detection).Lines | Should -BeNullOrEmpty
    }
}
