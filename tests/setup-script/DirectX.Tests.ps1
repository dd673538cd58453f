BeforeAll {
    . (Join-Path $PSScriptRoot 'FakeWindows.ps1')
    . $SetupScriptPath

    # A folder outside the tree being deleted, with files that must survive every delete.
    function New-Sentinel {
        param([string]$Root)
        $sentinel = Join-Path $Root 'sentinel'
        $null = New-FakeFile (Join-Path $sentinel 'save.dat') -Content 'player save'
        $null = New-FakeFile (Join-Path $sentinel 'nested/settings.ini') -Content 'volume=7'
        return $sentinel
    }

    # The sentinel's files and contents, for before/after comparison.
    function Get-TreeSnapshot {
        param([string]$Path)
        @(Get-ChildItem -LiteralPath $Path -Recurse -Force -File | Sort-Object FullName | ForEach-Object { '{0}={1}' -f $_.FullName, [System.IO.File]::ReadAllText($_.FullName) })
    }

    function New-Link {
        param([string]$Path, [string]$Target)
        $null = New-Item -ItemType Directory -Path (Split-Path -Parent $Path) -Force
        New-TestLink -Path $Path -Target $Target
    }

    # True when anything, a dangling link included, is at the path.
    function Test-Anything {
        param([string]$Path)
        return $null -ne (Get-Item -LiteralPath $Path -Force -ErrorAction SilentlyContinue)
    }
}

Describe 'Deleting a folder tree without following links' {
    BeforeEach {
        $root = Join-Path $TestDrive ([guid]::NewGuid().ToString('N').Substring(0, 8))
        $tree = Join-Path $root 'DirectX-June2010'
        $sentinel = New-Sentinel -Root $root
        $before = Get-TreeSnapshot -Path $sentinel
    }

    It 'removes nested files and folders, hidden and read-only ones included' {
        $null = New-FakeFile (Join-Path $tree 'DXSETUP.exe')
        $null = New-FakeFile (Join-Path $tree '.hidden.cab')
        $readOnly = New-FakeFile (Join-Path $tree 'sub/readonly.dll')
        [System.IO.File]::SetAttributes($readOnly, [System.IO.FileAttributes]::ReadOnly)
        $hidden = New-FakeFile (Join-Path $tree 'sub/deeper/hidden.inf')
        [System.IO.File]::SetAttributes($hidden, [System.IO.FileAttributes]::Hidden)
        $null = New-FakeFile (Join-Path $tree 'locked/inside.txt')
        [System.IO.File]::SetAttributes((Join-Path $tree 'locked'), [System.IO.FileAttributes]::ReadOnly)

        Remove-DirectoryTree -Path $tree

        Test-Anything $tree | Should -BeFalse
    }

    It 'removes <Kind> inside the tree as a link and leaves its target whole' -ForEach @(
        @{ Kind = 'a folder link'; LinkAt = 'sdk'; PointsTo = '' }
        @{ Kind = 'a file link'; LinkAt = 'dsetup.dll'; PointsTo = 'save.dat' }
        @{ Kind = 'a folder link two levels down'; LinkAt = 'a/b/junction'; PointsTo = 'nested' }
        @{ Kind = 'a file link two levels down'; LinkAt = 'a/b/settings.ini'; PointsTo = 'nested/settings.ini' }
        @{ Kind = 'a link whose target is gone'; LinkAt = 'a/stale'; PointsTo = 'no-such-folder' }
    ) {
        $null = New-FakeFile (Join-Path $tree 'DXSETUP.exe')
        $linkTarget = $sentinel
        if ($PointsTo) { $linkTarget = Join-Path $sentinel $PointsTo }
        New-Link -Path (Join-Path $tree $LinkAt) -Target $linkTarget
        Test-Path -LiteralPath $linkTarget | Should -Be ($PointsTo -ne 'no-such-folder') -Because 'only the stale link points at nothing'

        Remove-DirectoryTree -Path $tree

        Test-Anything $tree | Should -BeFalse
        Get-TreeSnapshot -Path $sentinel | Should -Be $before
    }

    It 'removes a link standing at the folder''s own path and not what it points to' -ForEach @(
        @{ Kind = 'folder' }
        @{ Kind = 'file' }
    ) {
        $linkTarget = $sentinel
        if ($Kind -eq 'file') { $linkTarget = Join-Path $sentinel 'save.dat' }
        New-Link -Path $tree -Target $linkTarget

        Remove-DirectoryTree -Path $tree

        Test-Anything $tree | Should -BeFalse
        Get-TreeSnapshot -Path $sentinel | Should -Be $before
    }

    It 'removes a plain file standing at the folder''s path' {
        $null = New-FakeFile $tree

        Remove-DirectoryTree -Path $tree

        Test-Anything $tree | Should -BeFalse
    }

    It 'does nothing when nothing is there' {
        { Remove-DirectoryTree -Path $tree } | Should -Not -Throw
        Test-Anything $tree | Should -BeFalse
        Get-TreeSnapshot -Path $sentinel | Should -Be $before
    }
}

Describe 'Step 4: DirectX legacy runtime' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows, Installers }
    BeforeEach {
        $machine = New-FakeWindows -Is64Bit $true
        Use-FakeRun $machine
        $package = Join-Path $script:WorkDir 'directx_Jun2010_redist.exe'
        # The run's first random name goes to the extraction folder, the second to the
        # folder the package runs from.
        $extract = '{0}.{1}' -f (Join-Path $script:WorkDir 'DirectX-June2010'), (Get-FakeRandomTail 1)
        $packageCopy = Join-Path ('{0}.{1}' -f (Join-Path $script:WorkDir 'Install'), (Get-FakeRandomTail 2)) 'directx_Jun2010_redist.exe'
        $dxsetup = Join-Path $extract 'DXSETUP.exe'
        $wowDll = Join-Path (Join-Path $machine.SystemRoot 'SysWOW64') 'd3dx9_43.dll'
        $nativeDll = Join-Path (Join-Path $machine.SystemRoot 'System32') 'd3dx9_43.dll'
        # A healthy package: it unpacks a Microsoft-signed DXSETUP.exe, which installs the DLL.
        Set-FakeInstaller $machine -Label 'DirectX-Extract' -CreatesFile $dxsetup
        Set-FakeSignature $machine -Path $dxsetup
        Set-FakeInstaller $machine -Label 'DXSETUP' -CreatesFile $wowDll
        $downloadLabel = 'DirectX End-User Runtimes (June 2010)'
    }
    AfterEach { Reset-FakeWindows }

    It 'downloads, unpacks, verifies, runs DXSETUP and checks the DLL, in that order and with the exact commands' {
        Install-DirectXLegacy

        $machine.Installers.Events | Should -Be @("download $downloadLabel", 'verify directx_Jun2010_redist.exe', 'run DirectX-Extract', 'verify DXSETUP.exe', 'run DXSETUP')
        $download = $machine.Installers.Downloads[0]
        $download.Url | Should -BeExactly 'https://download.microsoft.com/download/8/4/a/84a35bf1-dafe-4ae8-82af-ad2ae20b6b14/directx_Jun2010_redist.exe'
        $download.Destination | Should -BeExactly $package
        $extraction, $setup = $machine.Installers.Runs
        $extraction.FilePath | Should -BeExactly $packageCopy
        $extraction.Arguments | Should -BeExactly ('/Q /T:"{0}"' -f [System.IO.Path]::GetFullPath($extract))
        $extraction.SuccessCodes | Should -Be @(0)
        $setup.FilePath | Should -BeExactly $dxsetup
        $setup.Arguments | Should -BeExactly '/silent'
        $setup.SuccessCodes | Should -Be @(0, 3010)
        Get-LogLines | Should -Contain '[OK] DirectX legacy DLL verification passed (d3dx9_43.dll).'
        $script:RestartRequired | Should -BeFalse
    }

    It 'goes through every stage on a PC that already has d3dx9_43.dll' {
        $null = New-FakeFile $wowDll
        Set-FakeInstaller $machine -Label 'DXSETUP'

        Install-DirectXLegacy

        $machine.Installers.Events | Should -Be @("download $downloadLabel", 'verify directx_Jun2010_redist.exe', 'run DirectX-Extract', 'verify DXSETUP.exe', 'run DXSETUP')
    }

    It 'unpacks into a new private folder of this run and deletes it and the package''s folder afterwards, <When>' -ForEach @(
        @{ When = 'after a good run'; ExitCode = 0 }
        @{ When = 'also when DXSETUP fails'; ExitCode = 1603 }
    ) {
        Set-FakeInstaller $machine -Label 'DXSETUP' -ExitCode $ExitCode -CreatesFile $wowDll

        if ($ExitCode -eq 0) { Install-DirectXLegacy }
        else { { Install-DirectXLegacy } | Should -Throw -ExpectedMessage "DXSETUP failed with exit code $ExitCode." }

        $machine.FolderChanges | Should -Be @("create $extract", "create $(Split-Path -Parent $packageCopy)")
        $machine.Installers.Runs[0].Arguments | Should -BeExactly ('/Q /T:"{0}"' -f $extract)
        @(Get-ChildItem -LiteralPath $script:WorkDir -Directory) | Should -BeNullOrEmpty
    }

    It 'makes no folder and runs nothing when the download fails' {
        Set-FakeDownloadFailure $machine -Label $downloadLabel -Reason 'Security check failed for directx_Jun2010_redist.exe. Signature status: HashMismatch; publisher: CN=Microsoft Corporation, O=Microsoft Corporation'

        { Install-DirectXLegacy } | Should -Throw -ExpectedMessage "Unable to securely download $downloadLabel`: Security check failed for directx_Jun2010_redist.exe. Signature status: HashMismatch; publisher: CN=Microsoft Corporation, O=Microsoft Corporation"

        $machine.FolderChanges | Should -BeNullOrEmpty
        $machine.Installers.Runs | Should -BeNullOrEmpty
    }

    It 'fails when the extraction ends with 3010, flagging the restart all the same' {
        Set-FakeInstaller $machine -Label 'DirectX-Extract' -ExitCode 3010 -CreatesFile $dxsetup

        { Install-DirectXLegacy } | Should -Throw -ExpectedMessage 'DirectX-Extract failed with exit code 3010.'

        $script:RestartRequired | Should -BeTrue
        $machine.Installers.Events | Should -Be @("download $downloadLabel", 'verify directx_Jun2010_redist.exe', 'run DirectX-Extract')
    }

    It 'fails with the extractor''s own start error when it cannot be started' {
        Set-FakeInstaller $machine -Label 'DirectX-Extract' -StartError 'The specified executable is not a valid application for this OS platform.'

        { Install-DirectXLegacy } | Should -Throw -ExpectedMessage 'The specified executable is not a valid application for this OS platform.'
    }

    It 'DXSETUP ending with <Code>: succeeds <Succeeds>, restart flagged <Restart>' -ForEach @(
        @{ Code = 3010; Succeeds = $true; Restart = $true }
        @{ Code = 1641; Succeeds = $false; Restart = $true }
        @{ Code = 1638; Succeeds = $false; Restart = $false }
    ) {
        Set-FakeInstaller $machine -Label 'DXSETUP' -ExitCode $Code -CreatesFile $wowDll

        if ($Succeeds) {
            Install-DirectXLegacy
        } else {
            { Install-DirectXLegacy } | Should -Throw -ExpectedMessage "DXSETUP failed with exit code $Code."
        }

        $script:RestartRequired | Should -Be $Restart
    }

    It 'fails without running anything more when the package unpacks no DXSETUP.exe' {
        Set-FakeInstaller $machine -Label 'DirectX-Extract' -CreatesFile (Join-Path $extract 'dxsetup.cab')

        { Install-DirectXLegacy } | Should -Throw -ExpectedMessage 'DXSETUP.exe was not found after secure extraction.'

        $machine.Installers.Events | Should -Be @("download $downloadLabel", 'verify directx_Jun2010_redist.exe', 'run DirectX-Extract')
    }

    It 'refuses a DXSETUP.exe that is <Kind>' -ForEach @(
        @{ Kind = 'not signed'; Status = 'NotSigned'; Subject = $null; Message = 'Security check failed for DXSETUP.exe. Signature status: NotSigned; publisher: ' }
        @{ Kind = 'signed by someone else'; Status = 'Valid'; Subject = 'CN=Microsoft Corporation Tools, O=Contoso'; Message = 'Security check failed for DXSETUP.exe. Signature status: Valid; publisher: CN=Microsoft Corporation Tools, O=Contoso' }
        @{ Kind = 'altered after signing'; Status = 'HashMismatch'; Subject = 'CN=Microsoft Corporation, O=Microsoft Corporation, L=Redmond, S=Washington, C=US'; Message = 'Security check failed for DXSETUP.exe. Signature status: HashMismatch; publisher: CN=Microsoft Corporation, O=Microsoft Corporation, L=Redmond, S=Washington, C=US' }
    ) {
        Set-FakeSignature $machine -Path $dxsetup -Status $Status -Subject $Subject

        { Install-DirectXLegacy } | Should -Throw -ExpectedMessage $Message

        $machine.Installers.Events | Should -Not -Contain 'run DXSETUP'
    }

    It 'on a <Bitness> PC with d3dx9_43.dll in <DllIn>: DLL check passes <Passes>' -ForEach @(
        @{ Bitness = '64-bit'; DllIn = 'SysWOW64'; Passes = $true }
        @{ Bitness = '64-bit'; DllIn = 'System32'; Passes = $false }
        @{ Bitness = '64-bit'; DllIn = 'neither'; Passes = $false }
        @{ Bitness = '32-bit'; DllIn = 'System32'; Passes = $true }
        @{ Bitness = '32-bit'; DllIn = 'neither'; Passes = $false }
    ) {
        $machine.Is64Bit = ($Bitness -eq '64-bit')
        Set-FakeInstaller $machine -Label 'DXSETUP'
        if ($DllIn -ne 'neither') { $null = New-FakeFile (Join-Path (Join-Path $machine.SystemRoot $DllIn) 'd3dx9_43.dll') }

        if ($Passes) {
            Install-DirectXLegacy
            Get-LogLines | Should -Contain '[OK] DirectX legacy DLL verification passed (d3dx9_43.dll).'
        } else {
            { Install-DirectXLegacy } | Should -Throw -ExpectedMessage 'DirectX setup completed but d3dx9_43.dll was not found.'
        }
    }
}
