BeforeAll {
    . (Join-Path $PSScriptRoot 'FakeWindows.ps1')
    . $SetupScriptPath

    $script:MarkerKey = 'HKLM:\SOFTWARE\Microsoft\NET Framework Setup\NDP\v3.5'
    $script:NotVerified = '.NET Framework 3.5 installation could not be verified. If DISM reports 0x800F081F, use Windows installation media that exactly matches the installed Windows build.'
}

Describe 'Detecting .NET Framework 3.5' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    BeforeEach {
        $machine = New-FakeWindows
        Use-FakeWindows $machine
        Initialize-FakeRunState $machine
    }
    AfterEach { Reset-FakeWindows }

    It 'answers <Expected> when the setup key holds <Marker> and the feature reads <Feature>' -ForEach @(
        @{ Marker = 1; Feature = 'Disabled'; Expected = $true }
        @{ Marker = 0; Feature = 'Enabled'; Expected = $true }
        @{ Marker = 'no value'; Feature = 'Enabled'; Expected = $true }
        @{ Marker = 'no key'; Feature = 'Enabled'; Expected = $true }
        @{ Marker = 0; Feature = 'Disabled'; Expected = $false }
        @{ Marker = 'no key'; Feature = 'DisablePending'; Expected = $false }
        @{ Marker = 'no key'; Feature = 'a failing query'; Expected = $false }
        @{ Marker = 1; Feature = 'a failing query'; Expected = $true }
    ) {
        if ($Marker -eq 'no value') {
            Set-FakeRegistryValue $machine -Key $MarkerKey -Name 'Version' -Value '3.5.30729.4926'
        } elseif ($Marker -ne 'no key') {
            Set-FakeRegistryValue $machine -Key $MarkerKey -Name 'Install' -Value $Marker
        }
        $machine.Features['NetFx3'] = $Feature
        if ($Feature -eq 'a failing query') { $machine.Features['NetFx3'] = $null }

        Test-NetFx35Installed | Should -Be $Expected
    }
}

Describe 'Step 1: .NET Framework 3.5' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows, Installers }
    BeforeEach {
        $machine = New-FakeWindows
        Use-FakeRun $machine
        $dism = "$($machine.SystemRoot)\System32\dism.exe"
    }
    AfterEach { Reset-FakeWindows }

    It 'runs nothing on a PC whose setup key says installed, even with the feature reported Disabled' {
        Set-FakeRegistryValue $machine -Key $MarkerKey -Name 'Install' -Value 1

        Install-NetFx35 -WindowsBuild 22631

        $machine.Installers.Events | Should -BeNullOrEmpty
        Get-LogLines | Should -Be @('[OK] .NET Framework 3.5 is already installed.')
    }

    It 'enables NetFx3 through DISM on build <Build>, downloading nothing' -ForEach @(
        @{ Build = 19045 }
        @{ Build = 27999 }
    ) {
        Set-FakeInstaller $machine -Label 'DISM-NetFx3' -EnablesFeature 'NetFx3'

        Install-NetFx35 -WindowsBuild $Build

        $machine.Installers.Events | Should -Be @('run DISM-NetFx3')
        $run = $machine.Installers.Runs[0]
        $run.FilePath | Should -BeExactly $dism
        $run.Arguments | Should -BeExactly '/Online /Enable-Feature /FeatureName:NetFx3 /All /NoRestart'
        $run.SuccessCodes | Should -Be @(0, 3010)
        Get-LogLines | Should -Contain '[OK] .NET Framework 3.5 verification passed.'
    }

    It 'downloads and runs Microsoft''s installer on build <Build>, never DISM' -ForEach @(
        @{ Build = 28000 }
        @{ Build = 28120 }
    ) {
        Set-FakeInstaller $machine -Label 'DotNet35' -EnablesFeature 'NetFx3'

        Install-NetFx35 -WindowsBuild $Build

        $machine.Installers.Events | Should -Be @('download .NET Framework 3.5 for Windows 11 26H1+', 'verify DotNet35Setup-Windows11-26H1.exe', 'run DotNet35')
        $download = $machine.Installers.Downloads[0]
        $download.Url | Should -BeExactly 'https://go.microsoft.com/fwlink/?LinkID=2337635'
        $download.Destination | Should -BeExactly (Join-Path $script:WorkDir 'DotNet35Setup-Windows11-26H1.exe')
        $run = $machine.Installers.Runs[0]
        $run.FilePath | Should -BeExactly (Join-Path ('{0}.{1}' -f (Join-Path $script:WorkDir 'Install'), (Get-FakeRandomTail 1)) 'DotNet35Setup-Windows11-26H1.exe')
        $run.Arguments | Should -BeExactly '/quiet /norestart'
        $run.SuccessCodes | Should -Be @(0, 3010, 1641, 1638)
        Get-LogLines | Should -Contain '[OK] .NET Framework 3.5 verification passed.'
    }

    It 'on build 28000 fails with the download error and does not fall back to DISM' {
        Set-FakeDownloadFailure $machine -Everything

        { Install-NetFx35 -WindowsBuild 28000 } | Should -Throw -ExpectedMessage 'Unable to securely download .NET Framework 3.5 for Windows 11 26H1+: The remote name could not be resolved.'

        $machine.Installers.Runs | Should -BeNullOrEmpty
    }

    It 'treats DISM exit code 3010 as success: restart flagged, then verified' {
        Set-FakeInstaller $machine -Label 'DISM-NetFx3' -ExitCode 3010 -EnablesFeature 'NetFx3'

        Install-NetFx35 -WindowsBuild 22631

        $script:RestartRequired | Should -BeTrue
        Get-LogLines | Should -Contain '[OK] .NET Framework 3.5 verification passed.'
    }

    It 'fails with the runner''s message, not the verification message, when DISM fails' {
        # 0x80070005: access denied, a code without a cause of its own.
        Set-FakeInstaller $machine -Label 'DISM-NetFx3' -ExitCode -2147024891

        { Install-NetFx35 -WindowsBuild 22631 } | Should -Throw -ExpectedMessage 'DISM-NetFx3 failed with exit code -2147024891.'
    }

    It 'names what DISM error <Code> most likely means, in the failure and in the report''s likely causes' -ForEach @(
        @{ Code = '800F0954'; Says = 'this PC takes its updates from a company update server (WSUS), which offers no optional features: ask its administrator to allow optional features and repair content from Windows Update, or give DISM the source files in a package folder' }
        @{ Code = '800F081F'; Says = 'the source files were not found: give DISM those of Windows installation media that matches this build (its sources\sxs folder), for example in a package folder' }
        @{ Code = '800F0950'; Says = 'the source files were not found: give DISM those of Windows installation media that matches this build (its sources\sxs folder), for example in a package folder' }
        @{ Code = '800F0922'; Says = 'Windows could not finish adding the feature, most often because it could not reach Windows Update or a restart is pending: restart Windows, check the connection and try again, or give DISM the source files in a package folder' }
        @{ Code = '80070422'; Says = 'the Windows Update service is disabled: set its startup type to Manual, or give DISM the source files in a package folder' }
    ) {
        $exitCode = [Convert]::ToInt32($Code, 16)
        Set-FakeInstaller $machine -Label 'DISM-NetFx3' -ExitCode $exitCode
        $cause = 'DISM error 0x{0}: {1} ({2}).' -f $Code, $Says, (Join-Path 'NetFx3' '22631')

        { Install-NetFx35 -WindowsBuild 22631 } | Should -Throw -ExpectedMessage ('DISM-NetFx3 failed with exit code {0}. {1}' -f $exitCode, $cause)

        Invoke-SetupStep -Subject '.NET Framework 3.5' -Action { Install-NetFx35 -WindowsBuild 22631 }
        $causes = New-Object System.Collections.Generic.List[string]
        Add-DismCauses -Causes $causes
        @($causes) | Should -Be @("DISM could not turn on .NET Framework 3.5. $cause")
    }

    It 'gives DISM the package folder''s source files for this build alone' {
        $folder = Join-Path $machine.Root 'USB/ORVELLE-Game-Support-Packages'
        $null = New-Item -ItemType Directory -Path (Join-Path $folder 'NetFx3/22631') -Force
        $null = New-Item -ItemType Directory -Path (Join-Path $folder 'NetFx3/19045') -Force
        $script:PackageFolder = $folder
        Set-FakeInstaller $machine -Label 'DISM-NetFx3' -EnablesFeature 'NetFx3'

        Install-NetFx35 -WindowsBuild 22631

        $machine.Installers.Runs[0].Arguments | Should -BeExactly ('/Online /Enable-Feature /FeatureName:NetFx3 /All /NoRestart /Source:"{0}" /LimitAccess' -f (Join-Path $folder 'NetFx3/22631'))
    }

    It 'when DISM fails, carries the end of dism.log into the log and names the file, keeping the failure''s kind' {
        Set-FakeInstaller $machine -Label 'DISM-NetFx3' -ExitCode -2146498529
        $dismLog = New-FakeFile (Join-Path (Join-Path (Join-Path $machine.SystemRoot 'Logs') 'DISM') 'dism.log') -Content ((1..25 | ForEach-Object { "dism line $_" }) -join "`r`n")

        $failure = { Install-NetFx35 -WindowsBuild 22631 } | Should -Throw -ExpectedMessage "DISM-NetFx3 failed with exit code -2146498529. $(Get-DismErrorText -ExitCode -2146498529) Installer log: $dismLog" -PassThru

        '{0} {1}' -f (Get-RunFailureDetail -Cause $failure).Kind, (Get-RunFailureDetail -Cause $failure).ExitCode | Should -Be 'ExitCode -2146498529'
        $lines = @(Get-LogLines)
        $lines | Should -Contain "[INFO] Last lines of ${dismLog}:"
        $lines[-20..-1] | Should -Be @(6..25 | ForEach-Object { "dism line $_" })
    }

    It 'fails with the verification message when the <Label> run reports success but nothing is detected' -ForEach @(
        @{ Build = 22631; Label = 'DISM-NetFx3' }
        @{ Build = 28000; Label = 'DotNet35' }
    ) {
        Set-FakeInstaller $machine -Label $Label -ExitCode 0

        { Install-NetFx35 -WindowsBuild $Build } | Should -Throw -ExpectedMessage $NotVerified

        $machine.Installers.Events | Should -Contain "run $Label"
    }
}

Describe 'Step 2: DirectPlay' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows, Installers }
    BeforeEach {
        $machine = New-FakeWindows
        Use-FakeRun $machine
    }
    AfterEach { Reset-FakeWindows }

    It 'runs nothing when DirectPlay is already enabled' {
        $machine.Features['DirectPlay'] = 'Enabled'

        Install-DirectPlay

        $machine.Installers.Events | Should -BeNullOrEmpty
        Get-LogLines | Should -Be @('[OK] DirectPlay is already enabled.')
    }

    It 'runs DISM for DirectPlay when the feature reads <State>, warning only when it cannot be read' -ForEach @(
        @{ State = 'Disabled'; Warned = $false }
        @{ State = 'DisabledWithPayloadRemoved'; Warned = $false }
        @{ State = $null; Warned = $true }
    ) {
        $machine.Features['DirectPlay'] = $State

        Install-DirectPlay

        $machine.Installers.Events | Should -Be @('run DISM-DirectPlay')
        $run = $machine.Installers.Runs[0]
        $run.FilePath | Should -BeExactly "$($machine.SystemRoot)\System32\dism.exe"
        $run.Arguments | Should -BeExactly '/Online /Enable-Feature /FeatureName:DirectPlay /All /NoRestart'
        $run.SuccessCodes | Should -Be @(0, 3010)
        $warning = '[WARN] DirectPlay feature state could not be read; attempting installation.'
        (@(Get-LogLines) -contains $warning) | Should -Be $Warned
    }

    It 'passes DISM''s failure on to the caller with the runner''s message' {
        Set-FakeInstaller $machine -Label 'DISM-DirectPlay' -ExitCode 50

        { Install-DirectPlay } | Should -Throw -ExpectedMessage 'DISM-DirectPlay failed with exit code 50.'
    }
}
