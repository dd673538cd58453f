BeforeDiscovery {
    # One case per row of the script's own package table.
    . (Join-Path $PSScriptRoot 'FakeWindows.ps1')
    . $SetupScriptPath
    $script:PackageCases = @($script:VisualCppPackages | ForEach-Object {
            # A v14 package also writes its own log into the work folder, under a name of this run.
            $log = ''
            if ($_.Name.StartsWith('Visual C++ v14 ')) { $log = ' /log "<work>/{0}-install-(16 hex).log"' -f ($_.File -replace '\.exe$', '') }
            @{ Name = $_.Name; File = $_.File; Url = $_.Url; Arguments = $_.Args + $log; Architecture = $_.Architecture; RunnerLabel = $_.File -replace '\.exe$', '' }
        })
}

BeforeAll {
    . (Join-Path $PSScriptRoot 'FakeWindows.ps1')
    . $SetupScriptPath

    $script:TablePackages = $script:VisualCppPackages
    $script:SkipLine2005 = '[OK] Visual C++ 2005 SP1 x86 is already installed (version {0}) - skipped to prevent duplicate-version popups.'
    $script:Manifest2005 = 'x86_microsoft.vc80.crt_1fc8b3b9a1e18e3b_8.0.50727.6195_none_d09154e044272b9a.manifest'

    # Puts a side-by-side manifest file (or, with -AsFolder, a folder of that name) on the machine.
    function Add-Manifest {
        param($Machine, [string]$Name, [switch]$AsFolder)
        $path = Join-Path (Join-Path (Join-Path $Machine.SystemRoot 'WinSxS') 'Manifests') $Name
        if ($AsFolder) {
            $null = New-Item -ItemType Directory -Path $path -Force
        } else {
            $null = New-FakeFile $path
        }
    }
}

Describe 'Step 3: the Visual C++ package list' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows, Installers }
    AfterEach {
        $script:VisualCppPackages = $TablePackages
        Reset-FakeWindows
    }

    # A made-up ARM64 row at the end of the table: it must run on ARM64 Windows only.
    It 'on <Architecture> Windows downloads and runs the <Runs> rows one after another, in table order' -ForEach @(
        @{ Architecture = 'x86'; Runs = @('x86') }
        @{ Architecture = 'x64'; Runs = @('x86', 'x64') }
        @{ Architecture = 'ARM64'; Runs = @('x86', 'x64', 'ARM64') }
        @{ Architecture = 'x64'; Runs = @('x86', 'x64'); Unreadable = $true }
    ) {
        $script:VisualCppPackages = @($TablePackages) + [pscustomobject]@{ Name = 'Visual C++ test ARM64'; File = 'vc-test-arm64.exe'; Url = 'https://aka.ms/vc14/vc_redist.arm64.exe'; FallbackUrl = ''; Args = '/install /quiet /norestart'; Critical = $true; SkipPattern = ''; Architecture = 'ARM64' }
        $machine = New-FakeWindows -Architecture $Architecture
        Use-FakeRun $machine
        if ($_.ContainsKey('Unreadable')) {
            # Windows' record of the architecture cannot be read: the bitness decides.
            Mock Get-SystemProcessorArchitecture { throw 'Requested registry access is not allowed.' }
        }

        Install-VisualCppRuntimes

        $expected = foreach ($package in @($script:VisualCppPackages | Where-Object { $Runs -contains $_.Architecture })) {
            "download $($package.Name)"; "verify $($package.File)"; "run $($package.File -replace '\.exe$', '')"
        }
        $machine.Installers.Events | Should -Be @($expected)
        $script:Failures | Should -BeNullOrEmpty
        $script:Warnings | Should -BeNullOrEmpty
    }

    It 'fetches <Name> from its address into <File> and runs it with "<Arguments>"' -ForEach $PackageCases {
        $machine = New-FakeWindows -Architecture $Architecture
        Use-FakeRun $machine

        Install-VisualCppRuntimes

        $download = @($machine.Installers.Downloads | Where-Object { $_.Label -ceq $Name })
        $download.Count | Should -Be 1
        $download[0].Url | Should -BeExactly $Url
        $download[0].Destination | Should -BeExactly (Join-Path $script:WorkDir $File)
        $run = @($machine.Installers.Runs | Where-Object { $_.Label -ceq $RunnerLabel })
        $run.Count | Should -Be 1
        # A copy of the verified download, alone in a new folder of this run.
        $run[0].FilePath | Should -Match ('^' + [regex]::Escape((Join-Path $script:WorkDir 'Install')) + '\.[0-9a-f]{16}' + [regex]::Escape([System.IO.Path]::DirectorySeparatorChar + $File) + '$')
        $pattern = [regex]::Escape(($Arguments -replace '<work>/', ($script:WorkDir + [System.IO.Path]::DirectorySeparatorChar))).Replace('\(16\ hex\)', '[0-9a-f]{16}')
        $run[0].Arguments | Should -MatchExactly ('^' + $pattern + '$')
        $run[0].SuccessCodes | Should -Be @(0, 3010, 1641, 1638)
    }
}

Describe 'Step 3: passing over an installed Visual C++ 2005' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows, Installers }
    AfterEach { Reset-FakeWindows }

    It '<Machine>: <Outcome>' -ForEach @(
        @{ Machine = '64-bit PC with a WOW6432Node entry and a version'; Is64Bit = $true; Entries = @(@{ View = 'WOW6432Node'; Name = 'Microsoft Visual C++ 2005 Redistributable'; Version = '8.0.61001' }); Outcome = 'skipped'; Version = '8.0.61001' }
        @{ Machine = '64-bit PC with a WOW6432Node entry without a version'; Is64Bit = $true; Entries = @(@{ View = 'WOW6432Node'; Name = 'Microsoft Visual C++ 2005 Redistributable'; Version = $null }); Outcome = 'skipped'; Version = 'unknown' }
        @{ Machine = '64-bit PC with a WOW6432Node entry with a blank version'; Is64Bit = $true; Entries = @(@{ View = 'WOW6432Node'; Name = 'Microsoft Visual C++ 2005 Redistributable'; Version = '  ' }); Outcome = 'skipped'; Version = 'unknown' }
        @{ Machine = '64-bit PC with two matching entries'; Is64Bit = $true; Entries = @(@{ View = 'WOW6432Node'; Name = 'Microsoft Visual C++ 2005 Redistributable'; Version = '8.0.56336' }, @{ View = 'WOW6432Node'; Name = 'Microsoft Visual C++ 2005 Redistributable'; Version = '8.0.61001' }); Outcome = 'skipped'; Version = '8.0.56336' }
        @{ Machine = '64-bit PC with only the WinSxS manifest'; Is64Bit = $true; Manifest = 'file'; Outcome = 'skipped'; Version = 'installed' }
        @{ Machine = '32-bit PC with only the WinSxS manifest'; Is64Bit = $false; Manifest = 'file'; Outcome = 'skipped'; Version = 'installed' }
        @{ Machine = '32-bit PC with a native entry'; Is64Bit = $false; Entries = @(@{ View = 'Native'; Name = 'Microsoft Visual C++ 2005 Redistributable'; Version = '8.0.59193' }); Outcome = 'skipped'; Version = '8.0.59193' }
        @{ Machine = '64-bit PC with the name in other letter case'; Is64Bit = $true; Entries = @(@{ View = 'WOW6432Node'; Name = 'MICROSOFT VISUAL C++ 2005 REDISTRIBUTABLE'; Version = '8.0.61001' }); Outcome = 'skipped'; Version = '8.0.61001' }
        @{ Machine = '64-bit PC with the entry only in the native view'; Is64Bit = $true; Entries = @(@{ View = 'Native'; Name = 'Microsoft Visual C++ 2005 Redistributable (x64)'; Version = '8.0.61000' }); Outcome = 'installed' }
        @{ Machine = '64-bit PC with a name that only contains the pattern'; Is64Bit = $true; Entries = @(@{ View = 'WOW6432Node'; Name = 'Security Update for Microsoft Visual C++ 2005 SP1'; Version = '1.0' }); Outcome = 'installed' }
        @{ Machine = '64-bit PC with a blank DisplayName'; Is64Bit = $true; Entries = @(@{ View = 'WOW6432Node'; Name = ' '; Version = '8.0.61001' }); Outcome = 'installed' }
        @{ Machine = '64-bit PC with a folder named like the manifest'; Is64Bit = $true; Manifest = 'folder'; Outcome = 'installed' }
        @{ Machine = '64-bit PC with only the x64 manifest'; Is64Bit = $true; Manifest = 'x64 file'; Outcome = 'installed' }
        @{ Machine = '64-bit PC with neither entry nor manifest'; Is64Bit = $true; Outcome = 'installed' }
    ) {
        $machine = New-FakeWindows -Is64Bit $Is64Bit
        if ($_.ContainsKey('Entries')) {
            foreach ($entry in $Entries) { Add-FakeUninstallEntry $machine -View $entry.View -DisplayName $entry.Name -DisplayVersion $entry.Version }
        }
        if ($_.ContainsKey('Manifest')) {
            switch ($Manifest) {
                'file' { Add-Manifest $machine -Name $Manifest2005 }
                'folder' { Add-Manifest $machine -Name $Manifest2005 -AsFolder }
                'x64 file' { Add-Manifest $machine -Name 'amd64_microsoft.vc80.crt_1fc8b3b9a1e18e3b_8.0.50727.6195_none_88e41e092fab0294.manifest' }
            }
        }
        Use-FakeRun $machine

        Install-VisualCppRuntimes

        if ($Outcome -eq 'skipped') {
            Get-LogLines | Should -Contain ($SkipLine2005 -f $Version)
            $machine.Installers.Events | Should -Not -Contain 'download Visual C++ 2005 SP1 x86'
            $machine.Installers.Events | Should -Not -Contain 'run vc2005sp1-x86'
        } else {
            @(Get-LogLines) -like '*is already installed*' | Should -BeNullOrEmpty
            $run = @($machine.Installers.Runs | Where-Object { $_.Label -eq 'vc2005sp1-x86' })
            $run.Count | Should -Be 1
            $run[0].Arguments | Should -BeExactly '/Q'
        }
        $machine.Installers.Events | Should -Contain 'run vc2008sp1-x86'
    }

    It 'installs Visual C++ 2005 when the Uninstall query fails, logging a WARN line and recording nothing' {
        $machine = New-FakeWindows
        Use-FakeRun $machine
        Mock Get-ItemProperty -ParameterFilter { ([string]$Path) -like '*\Uninstall\*' } { throw 'Requested registry access is not allowed.' }

        Install-VisualCppRuntimes

        Get-LogLines | Should -Contain '[WARN] Could not query installed runtime pattern Microsoft Visual C++ 2005*: Requested registry access is not allowed.'
        $script:Warnings | Should -BeNullOrEmpty
        $script:Failures | Should -BeNullOrEmpty
        $machine.Installers.Events | Should -Contain 'run vc2005sp1-x86'
    }
}

Describe 'Looking up an installed runtime' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    AfterEach { Reset-FakeWindows }

    It 'finds <Expected> for <Pattern> (<Architecture>) on a <Bitness> PC' -ForEach @(
        @{ Bitness = '64-bit'; Pattern = 'Microsoft Visual C++ 2015-2022*'; Architecture = 'x64'; Expected = 'the native entry' }
        @{ Bitness = '64-bit'; Pattern = 'Microsoft Visual C++ 2015-2022*'; Architecture = 'x86'; Expected = 'the WOW6432Node entry' }
        @{ Bitness = '32-bit'; Pattern = 'Microsoft Visual C++ 2015-2022*'; Architecture = 'x86'; Expected = 'the native entry' }
        @{ Bitness = '64-bit'; Pattern = 'Microsoft Visual C++ 2008*'; Architecture = 'x86'; Expected = 'nothing' }
        @{ Bitness = '64-bit'; Pattern = '*'; Architecture = 'x86'; Expected = 'the WOW6432Node entry'; BlankFirst = $true }
    ) {
        $machine = New-FakeWindows -Is64Bit ($Bitness -eq '64-bit')
        if ($_.ContainsKey('BlankFirst')) {
            Add-FakeUninstallEntry $machine -View WOW6432Node -DisplayName $null -DisplayVersion '1.0'
            Add-FakeUninstallEntry $machine -View WOW6432Node -DisplayName '   ' -DisplayVersion '2.0'
        }
        Add-FakeUninstallEntry $machine -View Native -DisplayName 'Microsoft Visual C++ 2015-2022 Redistributable (x64) - 14.40.33810' -DisplayVersion '14.40.33810.0'
        Add-FakeUninstallEntry $machine -View WOW6432Node -DisplayName 'Microsoft Visual C++ 2015-2022 Redistributable (x86) - 14.38.33135' -DisplayVersion '14.38.33135.0'
        Add-Manifest $machine -Name $Manifest2005
        Use-FakeWindows $machine
        Initialize-FakeRunState $machine

        $found = Get-InstalledVisualCppRuntime -DisplayNamePattern $Pattern -Architecture $Architecture

        switch ($Expected) {
            'the native entry' { $found.DisplayVersion | Should -Be '14.40.33810.0' }
            'the WOW6432Node entry' { $found.DisplayVersion | Should -Be '14.38.33135.0' }
            'nothing' { $found | Should -BeNullOrEmpty }
        }
    }

    It 'gives the WinSxS record for Visual C++ 2005 whatever the architecture asked' {
        $machine = New-FakeWindows
        Add-Manifest $machine -Name $Manifest2005
        Use-FakeWindows $machine
        Initialize-FakeRunState $machine

        $found = Get-InstalledVisualCppRuntime -DisplayNamePattern 'Microsoft Visual C++ 2005*' -Architecture x64

        $found.DisplayName | Should -BeExactly 'Microsoft Visual C++ 2005 x86 Runtime (WinSxS)'
        $found.DisplayVersion | Should -BeExactly 'installed'
        @($found.PSObject.Properties).Count | Should -Be 2
    }

    It 'rejects an architecture other than x86 and x64' {
        { Get-InstalledVisualCppRuntime -DisplayNamePattern 'Microsoft Visual C++ 2005*' -Architecture 'arm64' } | Should -Throw
    }
}

Describe 'Step 3: the outcome of each package' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows, Installers }
    BeforeEach {
        $machine = New-FakeWindows
        Use-FakeRun $machine
    }
    AfterEach { Reset-FakeWindows }

    It 'offline with nothing cached gives five warnings and two failures and still ends normally' {
        Set-FakeDownloadFailure $machine -Everything -Reason 'The remote name could not be resolved: ''aka.ms'''

        { Install-VisualCppRuntimes } | Should -Not -Throw

        $reason = 'The remote name could not be resolved: ''aka.ms'''
        $packages = @($TablePackages | Where-Object { $_.Architecture -ne 'ARM64' })
        $legacy = $packages | Where-Object { -not $_.Critical } | ForEach-Object { 'Legacy runtime {0} was skipped or failed: Unable to securely download {0}: {1}' -f $_.Name, $reason }
        $critical = $packages | Where-Object { $_.Critical } | ForEach-Object { '{0}: Unable to securely download {0}: {1}' -f $_.Name, $reason }
        $script:Warnings | Should -Be @($legacy)
        $script:Failures | Should -Be @($critical)
        $machine.Installers.Runs | Should -BeNullOrEmpty
    }

    It 'counts exit code <Code> of <Label> as success, restart flagged: <Restart>' -ForEach @(
        @{ Label = 'vc14-latest-x64'; Code = 1638; Restart = $false }
        @{ Label = 'vc2013-x86'; Code = 3010; Restart = $true }
        @{ Label = 'vc14-latest-x86'; Code = 1641; Restart = $true }
    ) {
        Set-FakeInstaller $machine -Label $Label -ExitCode $Code

        Install-VisualCppRuntimes

        $script:RestartRequired | Should -Be $Restart
        $script:Failures | Should -BeNullOrEmpty
        $script:Warnings | Should -BeNullOrEmpty
    }

    It 'a legacy package failing gives one warning and the packages after it still run' {
        Set-FakeInstaller $machine -Label 'vc2010sp1-x86' -ExitCode 1603

        Install-VisualCppRuntimes

        $script:Warnings | Should -Be @('Legacy runtime Visual C++ 2010 SP1 x86 was skipped or failed: vc2010sp1-x86 failed with exit code 1603.')
        $script:Failures | Should -BeNullOrEmpty
        $machine.Installers.Events[-1] | Should -Be 'run vc14-latest-x64'
    }

    It 'a v14 package failing is a failure and the x64 package still runs' {
        Set-FakeInstaller $machine -Label 'vc14-latest-x86' -ExitCode 1603

        Install-VisualCppRuntimes

        $script:Failures | Should -Be @('Visual C++ v14 latest x86: vc14-latest-x86 failed with exit code 1603.')
        $script:Warnings | Should -BeNullOrEmpty
        $machine.Installers.Events[-1] | Should -Be 'run vc14-latest-x64'
    }

    It 'an installer that cannot be started is recorded with the start error''s own message' {
        Set-FakeInstaller $machine -Label 'vc2008sp1-x86' -StartError 'This command cannot be run because the file is not a valid application.'
        Set-FakeInstaller $machine -Label 'vc14-latest-x64' -StartError 'Access is denied.'

        Install-VisualCppRuntimes

        $script:Warnings | Should -Be @('Legacy runtime Visual C++ 2008 SP1 x86 was skipped or failed: This command cannot be run because the file is not a valid application.')
        $script:Failures | Should -Be @('Visual C++ v14 latest x64: Access is denied.')
    }
}
