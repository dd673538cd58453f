#Requires -RunAsAdministrator
# The DirectX extraction folder's delete on a real Windows machine: junctions (which Linux
# does not have) and the read-only, hidden and system attributes that make Windows refuse a
# delete. Run it elevated in Windows PowerShell 5.1 with Pester 5 (see README.md). It works
# in folders of its own under TEMP and removes them at the end.

BeforeAll {
    . (Join-Path $PSScriptRoot '..\..\dist\ORVELLE-Prerequisites.ps1')

    $suffix = [guid]::NewGuid().ToString('N').Substring(0, 8)
    $script:TestRoot = Join-Path $env:TEMP ('ORVELLE-TreeTest-' + $suffix)
    $null = New-Item -ItemType Directory -Path $script:TestRoot

    # A folder outside the tree with a read-only file, that links in the tree point to.
    function New-Sentinel {
        $folder = Join-Path $script:TestRoot ('sentinel-' + [guid]::NewGuid().ToString('N').Substring(0, 6))
        $null = New-Item -ItemType Directory -Path (Join-Path $folder 'inner')
        [System.IO.File]::WriteAllText((Join-Path $folder 'slot1.sav'), 'precious')
        [System.IO.File]::WriteAllText((Join-Path $folder 'inner\options.ini'), 'fov=90')
        [System.IO.File]::SetAttributes((Join-Path $folder 'slot1.sav'), [System.IO.FileAttributes]::ReadOnly)
        return $folder
    }

    function Get-TreeSnapshot {
        param([string]$Path)
        @(Get-ChildItem -LiteralPath $Path -Recurse -Force -File | Sort-Object FullName | ForEach-Object { '{0}={1}' -f $_.FullName, [System.IO.File]::ReadAllText($_.FullName) })
    }
}

AfterAll {
    if ($script:TestRoot -and (Test-Path -LiteralPath $script:TestRoot)) {
        # cmd's rmdir /s removes links without entering them.
        & cmd.exe /c rmdir /s /q "`"$script:TestRoot`""
    }
}

Describe 'Remove-DirectoryTree on Windows' {
    BeforeEach {
        $sentinel = New-Sentinel
        $before = Get-TreeSnapshot -Path $sentinel
        $tree = Join-Path $script:TestRoot ('DirectX-June2010-' + [guid]::NewGuid().ToString('N').Substring(0, 6))
        $null = New-Item -ItemType Directory -Path $tree
    }

    It 'deletes read-only, hidden and system files and a read-only folder' {
        $readOnly = Join-Path $tree 'DXSETUP.exe'
        [System.IO.File]::WriteAllText($readOnly, 'x')
        [System.IO.File]::SetAttributes($readOnly, [System.IO.FileAttributes]::ReadOnly)
        $hiddenSystem = Join-Path $tree 'dsetup.dll'
        [System.IO.File]::WriteAllText($hiddenSystem, 'x')
        [System.IO.File]::SetAttributes($hiddenSystem, [System.IO.FileAttributes]'Hidden, System, ReadOnly')
        $lockedFolder = Join-Path $tree 'locked'
        $null = New-Item -ItemType Directory -Path $lockedFolder
        [System.IO.File]::WriteAllText((Join-Path $lockedFolder 'a.cab'), 'x')
        [System.IO.File]::SetAttributes($lockedFolder, [System.IO.FileAttributes]'Directory, ReadOnly, Hidden')

        Remove-DirectoryTree -Path $tree

        Test-Path -LiteralPath $tree | Should -BeFalse
    }

    It 'removes <Kind> inside the tree and leaves the target whole' -ForEach @(
        @{ Kind = 'a junction'; ItemType = 'Junction'; At = 'sdk'; PointsTo = '' }
        @{ Kind = 'a junction two levels down'; ItemType = 'Junction'; At = 'a\b\sdk'; PointsTo = 'inner' }
        @{ Kind = 'a folder symbolic link'; ItemType = 'SymbolicLink'; At = 'redist'; PointsTo = '' }
        @{ Kind = 'a file symbolic link'; ItemType = 'SymbolicLink'; At = 'a\slot1.sav'; PointsTo = 'slot1.sav' }
    ) {
        $linkTarget = $sentinel
        if ($PointsTo) { $linkTarget = Join-Path $sentinel $PointsTo }
        $linkPath = Join-Path $tree $At
        $null = New-Item -ItemType Directory -Path (Split-Path -Parent $linkPath) -Force
        $null = New-Item -ItemType $ItemType -Path $linkPath -Value $linkTarget

        Remove-DirectoryTree -Path $tree

        Test-Path -LiteralPath $tree | Should -BeFalse
        Get-TreeSnapshot -Path $sentinel | Should -Be $before
    }

    It 'removes a junction standing at the folder''s own path and not what it points to' {
        [System.IO.Directory]::Delete($tree)
        $null = New-Item -ItemType Junction -Path $tree -Value $sentinel

        Remove-DirectoryTree -Path $tree

        Test-Path -LiteralPath $tree | Should -BeFalse
        Get-TreeSnapshot -Path $sentinel | Should -Be $before
    }
}
