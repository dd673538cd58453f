## Work and log folders: ORVELLE\Game Support under ProgramData with Downloads and Logs,
## secured level by level (or the launcher's own fresh folders), and the run's new log file.
## Uses the secured folders, the output and the state (WorkDir, LogPath, ProductDir).

#region Work and log folders

# The folders under ProgramData, "ORVELLE\Game Support". The launcher is built with these
# two lines (it makes and secures the same folders, and its bootstrap folder inside them,
# before this script starts).
$script:VendorFolderName = 'ORVELLE'
$script:ProductFolderName = 'Game Support'

# The full path of this script file.
function Get-ScriptFilePath {
    return $PSCommandPath
}

# The product folder that the launcher secured for this run, when it had to use a fresh
# folder for the vendor or product level ("ORVELLE.<16 hex>" or "Game Support.<16 hex>") and
# wrote this script there: "<ProgramData>\<vendor>\<product>\<bootstrap>\<script>". Taken
# only when both levels are private now; "" otherwise (a run by hand, the usual names, or a
# folder that is not private), and the usual folders are used.
function Get-LauncherProductFolder {
    param([AllowEmptyString()][string]$ScriptPath, [Parameter(Mandatory = $true)][string]$ProgramData)
    $tail = '(\.[0-9a-fA-F]{16})?$'
    $product = ''
    $vendor = ''
    try {
        $product = [System.IO.Path]::GetDirectoryName([System.IO.Path]::GetDirectoryName($ScriptPath))
        $vendor = [System.IO.Path]::GetDirectoryName($product)
        $parent = [System.IO.Path]::GetDirectoryName($vendor)
    } catch {
        return ''
    }
    if ([string]::IsNullOrEmpty($parent) -or
        -not [string]::Equals($parent.TrimEnd('\', '/'), $ProgramData.TrimEnd('\', '/'), [StringComparison]::OrdinalIgnoreCase) -or
        [System.IO.Path]::GetFileName($vendor) -notmatch ('^' + [regex]::Escape($script:VendorFolderName) + $tail) -or
        [System.IO.Path]::GetFileName($product) -notmatch ('^' + [regex]::Escape($script:ProductFolderName) + $tail)) {
        return ''
    }
    if ((Get-FolderSafetyProblem -Path $vendor) -ne '' -or (Get-FolderSafetyProblem -Path $product) -ne '') {
        return ''
    }
    return $product
}

# Sets WorkDir and LogPath, makes "ORVELLE" and "ORVELLE\Game Support" under ProgramData (or
# the launcher's fresh folders for them, see Get-LauncherProductFolder) and the work folder
# "Downloads" and the log folder "Logs" in it private to administrators (parents first, so
# nothing can be slipped into a folder between its check and its use; a level replaced by a
# fresh folder holds the levels below it), then creates a fresh, empty log file named after
# the start time and logs every folder it set aside, every link it removed and every level it
# had to replace. A level that cannot be secured at all throws before anything is written.
function Initialize-SetupFolders {
    $programData = $env:ProgramData
    $vendorDir = Join-Path $programData $script:VendorFolderName
    $productName = $script:ProductFolderName
    $launcherProduct = Get-LauncherProductFolder -ScriptPath (Get-ScriptFilePath) -ProgramData $programData
    if ($launcherProduct -ne '') {
        $vendorDir = Split-Path -Parent $launcherProduct
        $productName = Split-Path -Leaf $launcherProduct
    }
    $vendor = Initialize-SecuredFolder -Path $vendorDir
    $product = Initialize-SecuredFolder -Path (Join-Path $vendor.Path $productName)
    $work = Initialize-SecuredFolder -Path (Join-Path $product.Path 'Downloads') -Access Private
    $logs = Initialize-SecuredFolder -Path (Join-Path $product.Path 'Logs')
    $script:WorkDir = $work.Path
    $script:ProductDir = $product.Path
    $logFile = Join-Path $logs.Path ('Setup-{0}.log' -f (Get-Date).ToString('yyyyMMdd-HHmmss'))
    $script:LogPath = New-FreshFile -Path $logFile -OtherNameWhenHeld
    foreach ($folder in @($vendor, $product, $work, $logs)) {
        Write-SecuredFolderNotes -Folder $folder
    }
}

# Logs what Initialize-SecuredFolder set aside or removed for one folder, as warnings, and
# records a level replaced by a fresh folder as a warning of the run (log and report).
function Write-SecuredFolderNotes {
    param([Parameter(Mandatory = $true)]$Folder)
    foreach ($note in @($Folder.Notes)) {
        Write-Log -Message $note -Level WARN
    }
    if ($Folder.Warning -ne '') {
        Add-Warning -Message $Folder.Warning
    }
}
#endregion
