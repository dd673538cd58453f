BeforeAll {
    . (Join-Path $PSScriptRoot 'FakeWindows.ps1')
    . $SetupScriptPath

    # Runs the main sequence in this process, its console output captured, and returns the
    # exit code.
    function Invoke-FullRun {
        $script:exitCode = $null
        $null = Get-ConsoleLines { $script:exitCode = Invoke-SetupSequence }
        return $script:exitCode
    }
}

Describe 'Steps 1 to 4 in the main sequence' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows, Installers }
    BeforeEach {
        # A Windows 11 PC on which every installer works: DISM enables the features, each
        # Visual C++ package ends with 0, and the DirectX package unpacks a Microsoft-signed
        # DXSETUP.exe that installs d3dx9_43.dll.
        $machine = New-FakeWindows -Build 22631 -Architecture x64
        Use-FakeRun $machine
        # The folders of an earlier run of this tool, private, so that none is set aside.
        $product = Split-Path -Parent $script:WorkDir
        foreach ($folder in @((Split-Path -Parent $product), $product, (Join-Path $product 'Logs'))) { Set-FakePrivateFolder $machine -Path $folder }
        Set-FakePrivateFolder $machine -Path $script:WorkDir -Private
        Set-FakeInstaller $machine -Label 'DISM-NetFx3' -EnablesFeature 'NetFx3'
        Set-FakeInstaller $machine -Label 'DISM-DirectPlay' -EnablesFeature 'DirectPlay'
        # Each Visual C++ package draws one random name for the folder it runs from, and each
        # v14 package one for its own log; the DirectX extraction folder draws the next.
        $packages = @($script:VisualCppPackages | Where-Object { $_.Architecture -ne 'ARM64' })
        $drawn = $packages.Count + @($packages | Where-Object { Test-VisualCppV14Package -Package $_ }).Count
        $dxsetup = Join-Path ('{0}.{1}' -f (Join-Path $script:WorkDir 'DirectX-June2010'), (Get-FakeRandomTail ($drawn + 1))) 'DXSETUP.exe'
        Set-FakeInstaller $machine -Label 'DirectX-Extract' -CreatesFile $dxsetup
        Set-FakeSignature $machine -Path $dxsetup
        Set-FakeInstaller $machine -Label 'DXSETUP' -CreatesFile (Join-Path (Join-Path $machine.SystemRoot 'SysWOW64') 'd3dx9_43.dll')
        Mock New-DiagnosticReport { Join-Path $env:TEMP 'report.txt' }
        Mock Show-CompletionMessage { }
    }
    AfterEach { Reset-FakeWindows }

    It 'runs the four steps in order on a healthy PC and exits with 0' {
        Invoke-FullRun | Should -Be 0

        $visualCpp = foreach ($package in @($script:VisualCppPackages | Where-Object { $_.Architecture -ne 'ARM64' })) {
            "download $($package.Name)"; "verify $($package.File)"; "run $($package.File -replace '\.exe$', '')"
        }
        $machine.Installers.Events | Should -Be @(
            'run DISM-NetFx3', 'run DISM-DirectPlay'
            $visualCpp
            'download DirectX End-User Runtimes (June 2010)', 'verify directx_Jun2010_redist.exe', 'run DirectX-Extract', 'verify DXSETUP.exe', 'run DXSETUP')
        $script:Failures | Should -BeNullOrEmpty
        $script:Warnings | Should -BeNullOrEmpty
    }

    It 'exits with 0 when only DirectPlay fails, recording it as a warning' {
        Set-FakeInstaller $machine -Label 'DISM-DirectPlay' -ExitCode 87

        Invoke-FullRun | Should -Be 0

        $script:Warnings | Should -Be @('DirectPlay: DISM-DirectPlay failed with exit code 87.')
        $script:Failures | Should -BeNullOrEmpty
        Should -Invoke Show-CompletionMessage -Exactly 1
    }

    It 'exits with 1 when a v14 package fails, and still installs DirectX and writes the report' {
        Set-FakeInstaller $machine -Label 'vc14-latest-x64' -ExitCode 1603

        Invoke-FullRun | Should -Be 1

        $script:Failures | Should -Be @('Visual C++ v14 latest x64: vc14-latest-x64 failed with exit code 1603.')
        $machine.Installers.Events | Should -Contain 'run DXSETUP'
        Should -Invoke New-DiagnosticReport -Exactly 1
    }

    It 'exits with 1 when .NET Framework 3.5 fails, and the later steps still run' {
        Set-FakeInstaller $machine -Label 'DISM-NetFx3' -ExitCode -2146498529

        Invoke-FullRun | Should -Be 1

        $script:Failures | Should -Be @('.NET Framework 3.5: DISM-NetFx3 failed with exit code -2146498529. ' + (Get-DismErrorText -ExitCode -2146498529))
        $machine.Installers.Events | Should -Contain 'run DISM-DirectPlay'
        $machine.Installers.Events | Should -Contain 'run DXSETUP'
    }

    It 'records a DirectX failure at the <Stage> stage as exactly one failure' -ForEach @(
        @{ Stage = 'download'; Message = 'Unable to securely download DirectX End-User Runtimes (June 2010): The operation has timed out.' }
        @{ Stage = 'extraction'; Message = 'DirectX-Extract failed with exit code 1.' }
        @{ Stage = 'setup program present'; Message = 'DXSETUP.exe was not found after secure extraction.' }
        @{ Stage = 'signature'; Message = 'Security check failed for DXSETUP.exe. Signature status: NotSigned; publisher: ' }
        @{ Stage = 'DXSETUP'; Message = 'DXSETUP failed with exit code -9.' }
        @{ Stage = 'DLL check'; Message = 'DirectX setup completed but d3dx9_43.dll was not found.' }
    ) {
        switch ($Stage) {
            'download' { Set-FakeDownloadFailure $machine -Label 'DirectX End-User Runtimes (June 2010)' -Reason 'The operation has timed out.' }
            'extraction' { Set-FakeInstaller $machine -Label 'DirectX-Extract' -ExitCode 1 }
            'setup program present' { Set-FakeInstaller $machine -Label 'DirectX-Extract' }
            'signature' { Set-FakeSignature $machine -Path $dxsetup -Status 'NotSigned' -Subject $null }
            'DXSETUP' { Set-FakeInstaller $machine -Label 'DXSETUP' -ExitCode -9 }
            'DLL check' { Set-FakeInstaller $machine -Label 'DXSETUP' }
        }

        Invoke-FullRun | Should -Be 1

        $script:Failures | Should -Be @("DirectX legacy runtime: $Message")
        $script:Warnings | Should -BeNullOrEmpty
        Should -Invoke New-DiagnosticReport -Exactly 1
        Should -Invoke Show-CompletionMessage -Exactly 1
    }
}
