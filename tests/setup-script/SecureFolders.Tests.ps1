BeforeAll {
    . (Join-Path $PSScriptRoot 'FakeWindows.ps1')
    . $SetupScriptPath

    $script:AdminsSid = 'S-1-5-32-544'
    $script:SystemSid = 'S-1-5-18'
    $script:UsersSid = 'S-1-5-32-545'
    $script:TrustedInstallerSid = 'S-1-5-80-956008885-3425870138-1993325350-3165082018-1558578458'

    # The four folders of a run on a machine, parents first.
    function Get-RunFolders {
        param($Machine)
        $vendor = Join-Path $Machine.ProgramData 'ORVELLE'
        $base = Join-Path $vendor 'Game Support'
        return @($vendor, $base, (Join-Path $base 'Downloads'), (Join-Path $base 'Logs'))
    }

    # A folder set up by hand the way this tool sets up its own.
    function Set-PrivateFolder {
        param($Machine, [string]$Path, [string]$Owner = $script:AdminsSid)
        Set-FakeFolderSecurity $Machine -Path $Path -Owner $Owner -Protected $true -Access @(
            @{ Sid = $script:SystemSid; Rights = 0x1F01FF; Allow = $true },
            @{ Sid = $script:AdminsSid; Rights = 0x1F01FF; Allow = $true },
            @{ Sid = $script:UsersSid; Rights = 0x1200A9; Allow = $true })
    }

    # Checks that a folder holds exactly the protection this tool gives its folders.
    function Assert-PrivateFolder {
        param($Machine, [string]$Path)
        (Get-FolderItemAttributes -Path $Path) | Should -Be ([System.IO.FileAttributes]::Directory)
        $record = Get-FakeFolderSecurity $Machine -Path $Path
        $record.Owner | Should -Be $script:AdminsSid
        $record.Protected | Should -BeTrue
        @($record.Access | ForEach-Object { '{0} {1:x} {2} {3}' -f $_.Sid, $_.Rights, $_.Allow, $_.Flags }) | Should -Be @(
            "$script:SystemSid 1f01ff True OICI", "$script:AdminsSid 1f01ff True OICI", "$script:UsersSid 1200a9 True OICI")
    }

    # A folder outside ProgramData with a file in it, which a planted link points to.
    function New-Sentinel {
        param($Machine)
        $folder = Join-Path $Machine.Root 'Users/Player/Documents/Saves'
        $file = New-FakeFile (Join-Path $folder 'slot1.sav') -Content 'precious'
        return [pscustomobject]@{ Folder = $folder; File = $file }
    }

    function Assert-SentinelIntact {
        param($Machine, $Sentinel)
        (Get-FolderItemAttributes -Path $Sentinel.Folder) | Should -Be ([System.IO.FileAttributes]::Directory)
        [System.IO.File]::ReadAllText($Sentinel.File) | Should -BeExactly 'precious'
        @($Machine.FolderChanges | Where-Object { $_ -like "*$($Sentinel.Folder)*" }) | Should -BeNullOrEmpty
    }
}

Describe 'Setting up the work and log folders' {
    BeforeEach {
        Reset-SetupState
        $machine = New-FakeWindows
        $machine.Clock = [datetime]'2026-03-04T05:06:07'
        Use-FakeWindows $machine
        $folders = Get-RunFolders $machine
        $logFile = Join-Path $folders[3] 'Setup-20260304-050607.log'
    }
    AfterEach { Reset-FakeWindows }

    It 'on a fresh machine creates ORVELLE, Game Support, Downloads and Logs in that order, each private from its creation' {
        Initialize-SetupFolders
        @($machine.FolderChanges) | Should -Be @($folders | ForEach-Object { "create $_" })
        foreach ($folder in $folders) {
            Assert-PrivateFolder $machine $folder
            Get-FolderSafetyProblem -Path $folder | Should -BeExactly ''
        }
        $script:WorkDir | Should -Be $folders[2]
        $script:LogPath | Should -Be $logFile
        (Get-Item -LiteralPath $logFile).Length | Should -Be 0
    }

    It 'on a later run finds its folders private, changes nothing and keeps the cached downloads' {
        Initialize-SetupFolders
        $cached = New-FakeFile (Join-Path $folders[2] 'vc_redist.x64.exe') -Content 'cached'
        $machine.FolderChanges.Clear()
        Reset-SetupState
        Initialize-SetupFolders
        @($machine.FolderChanges) | Should -BeNullOrEmpty
        [System.IO.File]::ReadAllText($cached) | Should -BeExactly 'cached'
        Get-LogLines | Should -BeNullOrEmpty
    }

    It 'replaces a leftover <Leftover> of the log file''s name with a new empty file, leaving any link target alone' -ForEach @(
        @{ Leftover = 'file' }
        @{ Leftover = 'link to a file elsewhere' }
    ) {
        foreach ($folder in $folders) { Set-PrivateFolder $machine $folder }
        $sentinel = New-Sentinel $machine
        if ($Leftover -eq 'file') {
            $null = New-FakeFile $logFile -Content 'an earlier run in the same second'
        } else {
            $null = New-Item -ItemType SymbolicLink -Path $logFile -Target $sentinel.File
        }
        Initialize-SetupFolders
        Test-IsLinkAttribute -Attributes (Get-FolderItemAttributes -Path $logFile) | Should -BeFalse
        (Get-Item -LiteralPath $logFile).Length | Should -Be 0
        Assert-SentinelIntact $machine $sentinel
    }

    It 'logs each folder it had to take over, once the log file exists' {
        Set-FakeFolderSecurity $machine -Path $folders[1]
        $null = New-FakeFile (Join-Path $folders[2] 'planted.dll')
        Initialize-SetupFolders
        Get-LogLines | Should -Be @("[WARN] The folder $($folders[0]) was taken over for administrators: it is owned by $FakePlayerSid.")
        foreach ($inside in @($folders[1], $folders[2], (Join-Path $folders[2] 'planted.dll'))) {
            $record = Get-FakeFolderSecurity $machine -Path $inside
            "$($record.Owner) $($record.Protected) $(@($record.Access).Count)" | Should -Be "$AdminsSid False 0"
        }
    }

    It 'writes nothing into a log folder it cannot secure and leaves LogPath empty' {
        foreach ($folder in $folders[0..2]) { Set-PrivateFolder $machine $folder }
        Set-FakeFolderSecurity $machine -Path $folders[3] -Refuse 'Attempted to perform an unauthorized operation.'
        { Initialize-SetupFolders } | Should -Throw -ExpectedMessage "The folder $($folders[3]) could not be secured: Attempted to perform an unauthorized operation."
        $script:LogPath | Should -BeExactly ''
        @(Get-ChildItem -LiteralPath $folders[3] -Force) | Should -BeNullOrEmpty
    }

    It 'ends the run through the fatal handler when a folder cannot be secured' {
        Mock New-DiagnosticReport { 'report.txt' }
        Mock Show-CompletionMessage { }
        $null = New-FakeFile $folders[0] -Content 'in the way'
        $script:exitCode = $null
        $null = Get-ConsoleLines { $script:exitCode = Invoke-SetupSequence }
        $script:exitCode | Should -Be 1
        @($script:Failures) | Should -Be @("Fatal error: The folder $($folders[0]) could not be secured: a file of that name is in the way")
        [System.IO.File]::ReadAllText($folders[0]) | Should -BeExactly 'in the way'
    }
}

Describe 'Judging a folder that already exists' {
    BeforeEach {
        $machine = New-FakeWindows
        Use-FakeWindows $machine
        $folder = Join-Path $machine.ProgramData 'ORVELLE'
    }
    AfterEach { Reset-FakeWindows }

    It 'accepts the owner <Name>' -ForEach @(
        @{ Name = 'Administrators'; Sid = 'S-1-5-32-544' }
        @{ Name = 'SYSTEM'; Sid = 'S-1-5-18' }
        @{ Name = 'TrustedInstaller'; Sid = 'S-1-5-80-956008885-3425870138-1993325350-3165082018-1558578458' }
    ) {
        Set-PrivateFolder $machine $folder -Owner $Sid
        Get-FolderSafetyProblem -Path $folder | Should -BeExactly ''
    }

    It 'refuses a folder owned by a standard user even when its permissions are private' {
        Set-PrivateFolder $machine $folder -Owner $FakePlayerSid
        Get-FolderSafetyProblem -Path $folder | Should -BeExactly "it is owned by $FakePlayerSid"
    }

    It '<Verdict> a folder on which <Who> is allowed <Right>' -ForEach @(
        @{ Verdict = 'refuses'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'write data / add file'; Rights = 0x2 }
        @{ Verdict = 'refuses'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'append data / add subfolder'; Rights = 0x4 }
        @{ Verdict = 'refuses'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'write extended attributes'; Rights = 0x10 }
        @{ Verdict = 'refuses'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'delete child'; Rights = 0x40 }
        @{ Verdict = 'refuses'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'write attributes'; Rights = 0x100 }
        @{ Verdict = 'refuses'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'delete'; Rights = 0x10000 }
        @{ Verdict = 'refuses'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'write DAC'; Rights = 0x40000 }
        @{ Verdict = 'refuses'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'write owner'; Rights = 0x80000 }
        @{ Verdict = 'refuses'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'generic write'; Rights = 0x40000000 }
        @{ Verdict = 'refuses'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'generic all'; Rights = 0x10000000 }
        @{ Verdict = 'refuses'; Who = 'Everyone'; Sid = 'S-1-1-0'; Right = 'modify'; Rights = 0x301BF }
        @{ Verdict = 'refuses'; Who = 'CREATOR OWNER'; Sid = 'S-1-3-0'; Right = 'full control'; Rights = 0x1F01FF }
        @{ Verdict = 'refuses'; Who = 'a standard user'; Sid = 'S-1-5-21-1004336348-1177238915-682003330-1001'; Right = 'full control'; Rights = 0x1F01FF }
        @{ Verdict = 'accepts'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'read and execute'; Rights = 0x1200A9 }
        @{ Verdict = 'accepts'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'generic read and execute'; Rights = [long][int]-1610612736 }
        @{ Verdict = 'accepts'; Who = 'TrustedInstaller'; Sid = 'S-1-5-80-956008885-3425870138-1993325350-3165082018-1558578458'; Right = 'full control'; Rights = 0x1F01FF }
    ) {
        Set-FakeFolderSecurity $machine -Path $folder -Owner 'S-1-5-32-544' -Access @(
            @{ Sid = 'S-1-5-32-544'; Rights = 0x1F01FF; Allow = $true },
            @{ Sid = $Sid; Rights = $Rights; Allow = $true })
        $expected = ''
        if ($Verdict -eq 'refuses') { $expected = "$Sid may change it" }
        Get-FolderSafetyProblem -Path $folder | Should -BeExactly $expected
    }

    It 'accepts a folder that denies Users full control' {
        Set-PrivateFolder $machine $folder
        $machine.FolderSecurity[$folder].Access += [pscustomobject]@{ Sid = $UsersSid; Rights = [long]0x1F01FF; Allow = $false }
        Get-FolderSafetyProblem -Path $folder | Should -BeExactly ''
    }

    It 'refuses a link to a private folder as <Expected>, and a file of the folder''s name' -ForEach @(
        @{ Kind = 'link'; Expected = 'it is a link' }
        @{ Kind = 'file'; Expected = 'a file of that name is in the way' }
    ) {
        $private = Join-Path $machine.ProgramData 'Elsewhere'
        Set-PrivateFolder $machine $private
        if ($Kind -eq 'link') { $null = New-Item -ItemType SymbolicLink -Path $folder -Target $private } else { $null = New-FakeFile $folder }
        Get-FolderSafetyProblem -Path $folder | Should -BeExactly $Expected
    }
}

Describe 'Securing a folder that already exists' {
    BeforeEach {
        $machine = New-FakeWindows
        Use-FakeWindows $machine
        $folder = Join-Path $machine.ProgramData 'ORVELLE'
        $sentinel = New-Sentinel $machine
    }
    AfterEach { Reset-FakeWindows }

    It 'takes over <Scenario> with everything in it' -ForEach @(
        @{ Scenario = 'a folder a standard user made before the first run'; Owner = 'S-1-5-21-1004336348-1177238915-682003330-1001'; Access = $null; Reason = 'it is owned by S-1-5-21-1004336348-1177238915-682003330-1001' }
        @{ Scenario = 'an Administrators folder still open to Users from ProgramData'; Owner = 'S-1-5-32-544'; Access = $null; Reason = 'S-1-3-0 may change it' }
        @{ Scenario = 'a folder whose owner shut administrators out'; Owner = 'S-1-5-21-1004336348-1177238915-682003330-1001'; Access = @(@{ Sid = 'S-1-5-21-1004336348-1177238915-682003330-1001'; Rights = 0x1F01FF; Allow = $true }); Reason = 'it is owned by S-1-5-21-1004336348-1177238915-682003330-1001' }
    ) {
        if ($null -eq $Access) { Set-FakeFolderSecurity $machine -Path $folder -Owner $Owner } else { Set-FakeFolderSecurity $machine -Path $folder -Owner $Owner -Access $Access -Protected $true }
        $inside = @((Join-Path $folder 'Game Support'), (New-FakeFile (Join-Path $folder 'Game Support/Downloads/vc_redist.x64.exe') -Content 'planted'), (New-FakeFile (Join-Path $folder 'version.dll')))
        Set-FakeFolderSecurity $machine -Path $inside[0] -Owner $FakePlayerSid -Access @(@{ Sid = 'S-1-1-0'; Rights = 0x1F01FF; Allow = $true }) -Protected $true

        $result = Initialize-SecuredFolder -Path $folder

        "$($result.Outcome): $($result.Reason)" | Should -BeExactly "TakenOver: $Reason"
        Assert-PrivateFolder $machine $folder
        foreach ($item in $inside + @((Join-Path $folder 'Game Support/Downloads'))) {
            $record = Get-FakeFolderSecurity $machine -Path $item
            "$item $($record.Owner) $($record.Protected) $(@($record.Access).Count)" | Should -Be "$item $AdminsSid False 0"
        }
        [System.IO.File]::ReadAllText($inside[1]) | Should -BeExactly 'planted'
        $machine.FolderChanges[0] | Should -Be "secure $folder"
    }

    It 'takes over a folder whose permissions do not even let administrators read them' {
        Set-FakeFolderSecurity $machine -Path $folder -Unreadable 'Attempted to perform an unauthorized operation.'
        $result = Initialize-SecuredFolder -Path $folder
        "$($result.Outcome): $($result.Reason)" | Should -BeExactly 'TakenOver: its permissions cannot be read: Attempted to perform an unauthorized operation.'
        Assert-PrivateFolder $machine $folder
    }

    It 'leaves a folder that is already private exactly as it is' {
        Set-PrivateFolder $machine $folder
        $null = New-FakeFile (Join-Path $folder 'Game Support/Logs/Setup-20260101-000000.log')
        $result = Initialize-SecuredFolder -Path $folder
        $result.Outcome | Should -Be 'Verified'
        @($machine.FolderChanges) | Should -BeNullOrEmpty
    }

    It 'removes links inside as links, at any depth, and leaves their targets alone' {
        Set-FakeFolderSecurity $machine -Path $folder
        $keep = New-FakeFile (Join-Path $folder 'Game Support/Logs/old.log') -Content 'log'
        $links = @(
            (Join-Path $folder 'Saves'),
            (Join-Path $folder 'Game Support/Downloads/DirectX-June2010'),
            (Join-Path $folder 'Game Support/slot1.sav'),
            (Join-Path $folder 'Game Support/Logs/dangling')
        )
        $null = New-Item -ItemType Directory -Path (Split-Path -Parent $links[1]) -Force
        $null = New-Item -ItemType SymbolicLink -Path $links[0] -Target $sentinel.Folder
        $null = New-Item -ItemType SymbolicLink -Path $links[1] -Target $sentinel.Folder
        $null = New-Item -ItemType SymbolicLink -Path $links[2] -Target $sentinel.File
        $null = New-Item -ItemType SymbolicLink -Path $links[3] -Target (Join-Path $machine.Root 'nowhere')

        $null = Initialize-SecuredFolder -Path $folder

        foreach ($link in $links) { Get-FolderItemAttributes -Path $link | Should -BeNullOrEmpty }
        [System.IO.File]::ReadAllText($keep) | Should -BeExactly 'log'
        Assert-SentinelIntact $machine $sentinel
    }

    It 'replaces a <Kind> where the folder belongs by a new private folder, without following it' -ForEach @(
        @{ Kind = 'link to a folder elsewhere' }
        @{ Kind = 'link to a file elsewhere' }
        @{ Kind = 'dangling link' }
    ) {
        $target = @{ 'link to a folder elsewhere' = $sentinel.Folder; 'link to a file elsewhere' = $sentinel.File; 'dangling link' = (Join-Path $machine.Root 'nowhere') }[$Kind]
        $null = New-Item -ItemType SymbolicLink -Path $folder -Target $target
        $result = Initialize-SecuredFolder -Path $folder
        "$($result.Outcome): $($result.Reason)" | Should -BeExactly 'TakenOver: it was a link'
        Assert-PrivateFolder $machine $folder
        @($machine.FolderChanges) | Should -Be @("create $folder")
        Assert-SentinelIntact $machine $sentinel
        Test-Path -LiteralPath (Join-Path $machine.Root 'nowhere') | Should -BeFalse
    }

    It 'stops with a clear message when <Problem>' -ForEach @(
        @{ Problem = 'a file of that name is in the way'; Message = 'a file of that name is in the way' }
        @{ Problem = 'the folder''s permissions cannot be changed'; Message = 'Attempted to perform an unauthorized operation.' }
        @{ Problem = 'the take-over leaves the folder unsafe'; Message = 'it is still not safe after the take-over: it is owned by S-1-5-21-1004336348-1177238915-682003330-1001' }
    ) {
        switch -Wildcard ($Problem) {
            'a file*' { $null = New-FakeFile $folder -Content 'in the way' }
            '*cannot be changed' { Set-FakeFolderSecurity $machine -Path $folder -Refuse $Message }
            '*unsafe' { Set-FakeFolderSecurity $machine -Path $folder; Mock Set-FolderItemSecurity { } }
        }
        { Initialize-SecuredFolder -Path $folder } | Should -Throw -ExpectedMessage "The folder $folder could not be secured: $Message"
    }

    It 'checks a folder that someone else created just before it, instead of trusting its own creation' {
        Mock New-FolderWithSecurity { $null = New-Item -ItemType Directory -Path $Path }
        $result = Initialize-SecuredFolder -Path $folder
        "$($result.Outcome): $($result.Reason)" | Should -BeExactly "TakenOver: it is owned by $FakePlayerSid"
        Assert-PrivateFolder $machine $folder
    }
}
